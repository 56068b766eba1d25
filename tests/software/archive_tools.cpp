#include "extract_fixture.h"

#include <algorithm>

#include "core/digest.h"

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
           size_field=None, mode_field=None, link=b''):
    block = bytearray(512)
    for at, value in ((0, _b(name)), (100, mode_field or b'%07o\x00' % mode),
                      (108, b'0000000\x00' * 2), (124, size_field or b'%011o\x00' % size),
                      (136, b'00000000000\x00'), (148, b' ' * 8), (156, flag), (157, _b(link)),
                      (257, magic), (345, _b(prefix))):
        block[at:at + len(value)] = value
    block[148:156] = b'%06o\x00 ' % sum(block)
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
        f.write(gzip.compress(b''.join(parts), compresslevel=1, mtime=0))
)PY";

}  // namespace

RunResult run_in(const std::string& dir, const std::string& command) {
  RunOptions options;
  options.cwd = dir;
  return run_program("/bin/sh", {"-c", command}, options);
}

RunResult python(const std::string& dir, const std::string& script) {
  write_text(path_join(dir, "craft.py"), std::string(kPythonPrelude) + script);
  // The system's interpreter when there is one: a version manager's shim in
  // front of it can take seconds to start.
  const char* interpreter = ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
  return run_in(dir, std::string(interpreter) + " craft.py");
}

Lines tree_listing(const std::string& root) {
  std::vector<TreeRecord> records;
  const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const bool walked = fd >= 0 && walk_tree_at(fd, root, "", records).ok();
  if (fd >= 0) ::close(fd);
  if (!walked) return {};
  Lines out;
  for (const TreeRecord& r : records) out.push_back(r.kind == "dir" ? r.path + "/" : r.path);
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace velk::testing
