#include "archive_tools.h"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "core/fs.h"
#include "support/temp_dir.h"

namespace velk::testing {

namespace {

const char kPythonPrelude[] = R"PY(
import gzip, io, os, struct, sys, tarfile, zipfile, zlib
POSIX = b'ustar\x0000'
GNU = b'ustar  \x00'
END = b'\0' * 1024

def _b(text):
    return text if isinstance(text, bytes) else text.encode()

def header(name, size=0, flag=b'0', mode=0o644, magic=POSIX, prefix=b'',
           size_field=None, mode_field=None, checksum=None):
    block = bytearray(512)
    name = _b(name)
    block[0:len(name)] = name
    block[100:108] = mode_field if mode_field is not None else b'%07o\x00' % mode
    block[108:116] = b'0000000\x00'
    block[116:124] = b'0000000\x00'
    block[124:136] = size_field if size_field is not None else b'%011o\x00' % size
    block[136:148] = b'00000000000\x00'
    block[156:157] = flag
    block[257:265] = magic
    prefix = _b(prefix)
    block[345:345 + len(prefix)] = prefix
    block[148:156] = b' ' * 8
    if checksum is None:
        block[148:156] = b'%06o\x00 ' % sum(block)
    else:
        block[148:156] = checksum
    return bytes(block)

def entry(name, content=b'', **args):
    content = _b(content)
    return header(name, len(content), **args) + content + b'\0' * (-len(content) % 512)

def pax(records):
    out = b''
    for key, value in records:
        body = b' ' + _b(key) + b'=' + _b(value) + b'\n'
        length = len(body) + 1
        while len(str(length)) + len(body) != length:
            length += 1
        out += str(length).encode() + body
    return out

def write_tgz(path, *parts):
    with open(path, 'wb') as f:
        f.write(gzip.compress(b''.join(parts), mtime=0))
)PY";

}  // namespace

int shell(const std::string& command) {
  const int status = std::system(command.c_str());
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

int python(const std::string& dir, const std::string& script) {
  const std::string path = path_join(dir, "craft.py");
  write_text(path, std::string(kPythonPrelude) + script);
  // The system's interpreter when there is one: a version manager's shim in
  // front of it can take seconds to start.
  const char* interpreter = ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
  return shell("cd '" + dir + "' && " + interpreter + " craft.py");
}

std::string sha256_file(const std::string& path) {
  const std::string bytes = read_text(path);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  std::string out = "sha256:";
  char hex[3];
  for (unsigned i = 0; i < length; ++i) {
    std::snprintf(hex, sizeof hex, "%02x", digest[i]);
    out += hex;
  }
  return out;
}

namespace {
void list_into(const std::string& root, const std::string& relative,
               std::vector<std::string>& out) {
  auto names = list_directory(path_join(root, relative));
  if (!names.ok()) return;
  for (const std::string& name : *names) {
    const std::string rel = relative.empty() ? name : relative + "/" + name;
    const auto st = lstat_path(path_join(root, rel));
    if (st && S_ISDIR(st->st_mode)) {
      out.push_back(rel + "/");
      list_into(root, rel, out);
    } else {
      out.push_back(rel);
    }
  }
}
}  // namespace

std::vector<std::string> tree_listing(const std::string& root) {
  std::vector<std::string> out;
  list_into(root, "", out);
  std::sort(out.begin(), out.end());
  return out;
}

unsigned mode_bits(const std::string& path) {
  const auto st = lstat_path(path);
  return st ? static_cast<unsigned>(st->st_mode & 07777) : 0;
}

}  // namespace velk::testing
