#include "software/tar_reader.h"

#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "core/text.h"

namespace velk {

namespace {

constexpr size_t kBlock = 512;
constexpr size_t kCopyBuffer = 64 * 1024;
// Pax data and GNU long names are held in memory whole; nothing legitimate
// comes near this.
constexpr uint64_t kMaxHeaderData = 1u << 20;

bool is_gnu_magic(const unsigned char* block) {
  return std::memcmp(block + 257, "ustar  \0", 8) == 0;
}

bool is_posix_magic(const unsigned char* block) {
  return std::memcmp(block + 257, "ustar\0" "00", 8) == 0;
}

std::string field_text(const unsigned char* field, size_t size) {
  size_t n = 0;
  while (n < size && field[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(field), n);
}

Result<uint64_t> parse_octal(const unsigned char* field, size_t size, std::string_view name) {
  size_t start = 0;
  while (start < size && field[start] == ' ') ++start;
  size_t end = start;
  while (end < size && field[end] != 0 && field[end] != ' ') ++end;
  const std::string_view text(reinterpret_cast<const char*>(field) + start, end - start);
  for (const char c : text)
    if (static_cast<unsigned char>(c) >= 0x80)
      return extract_error("tar " + std::string(name) + " field is not ASCII octal");
  const auto not_octal = [&] {
    return extract_error("tar " + std::string(name) + " field " + quoted_form(text) +
                         " is not octal");
  };
  if (text.empty()) return uint64_t{0};
  size_t i = text[0] == '+' ? 1 : 0;
  if (i == text.size()) return not_octal();
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '7') return not_octal();
    if (value > (UINT64_MAX >> 3)) return not_octal();
    value = value << 3 | static_cast<uint64_t>(text[i] - '0');
  }
  return value;
}

Status check_checksum(const unsigned char* block) {
  VELK_ASSIGN(const uint64_t stated, parse_octal(block + 148, 8, "checksum"));
  uint64_t unsigned_sum = 0;
  int64_t signed_sum = 0;
  for (size_t i = 0; i < kBlock; ++i) {
    const bool in_field = i >= 148 && i < 156;
    const unsigned char byte = in_field ? ' ' : block[i];
    unsigned_sum += byte;
    signed_sum += static_cast<signed char>(byte);
  }
  if (stated == unsigned_sum || static_cast<int64_t>(stated) == signed_sum) return {};
  return extract_error("tar header checksum mismatch: stated " + std::to_string(stated) +
                       ", computed " + std::to_string(unsigned_sum));
}

std::string_view refused_type(unsigned char flag) {
  switch (flag) {
    case '1': return "a hard link";
    case '2': return "a symbolic link";
    case '3': return "a character device";
    case '4': return "a block device";
    case '6': return "a FIFO";
    case '7': return "a contiguous file";
    case 'K': return "a GNU long link name";
    default: return "an entry type outside the format this reader accepts";
  }
}

// Turns a read failure of the inflated stream into the tar reader's message
// when it is a failure to read the file; a malformed gzip member speaks for
// itself.
Error read_failure(const char* message, Error error) {
  if (error.sys_errno == 0) return error;
  return caused_by(ErrorKind::state_unavailable, message, error);
}

class TarExtractor {
 public:
  TarExtractor(GzipReader& in, ExtractTarget& target)
      : in_(in), target_(target), buffer_(new unsigned char[kCopyBuffer]) {}

  Status run() {
    for (;;) {
      VELK_ASSIGN(const bool more, read_header());
      if (!more) break;
      VELK_TRY(entry());
    }
    auto finished = in_.finish();
    if (!finished.ok()) {
      Error error = std::move(finished).error();
      error.message = "archive did not end cleanly: " + error.message;
      return error;
    }
    return {};
  }

 private:
  // Reads into `out` until `size` bytes arrive or the stream ends.
  Result<size_t> read_full(unsigned char* out, size_t size) {
    size_t done = 0;
    while (done < size) {
      VELK_ASSIGN(const size_t n, in_.read(out + done, size - done));
      if (n == 0) break;
      done += n;
    }
    return done;
  }

  // False at the end of the archive: an all-zero block, or the stream ending
  // exactly at a block boundary.
  Result<bool> read_header() {
    auto got = read_full(block_, kBlock);
    if (!got.ok()) return read_failure("archive header could not be read", std::move(got).error());
    if (*got == 0) return false;
    if (*got < kBlock) return extract_error("archive ended in the middle of a header");
    for (size_t i = 0; i < kBlock; ++i)
      if (block_[i] != 0) return true;
    return false;
  }

  Status skip_padding(uint64_t size) {
    const size_t padding = static_cast<size_t>((kBlock - size % kBlock) % kBlock);
    if (padding == 0) return {};
    unsigned char scratch[kBlock];
    auto got = read_full(scratch, padding);
    if (!got.ok()) return read_failure("archive padding could not be read", std::move(got).error());
    if (*got < padding) return extract_error("archive padding could not be read");
    return {};
  }

  // The data of a pax header or a GNU long name, held in memory.
  Result<std::string> read_small_data(uint64_t size, const char* what) {
    if (size > kMaxHeaderData)
      return extract_error("refusing " + std::string(what) + " of " + std::to_string(size) +
                           " bytes: this reader holds at most " +
                           std::to_string(kMaxHeaderData) + " bytes of one");
    std::string data(static_cast<size_t>(size), '\0');
    auto got = read_full(reinterpret_cast<unsigned char*>(data.data()), data.size());
    if (!got.ok()) return read_failure("archive entry could not be read", std::move(got).error());
    if (*got < data.size()) return extract_error("archive ended in the middle of an entry");
    VELK_TRY(skip_padding(size));
    return data;
  }

  Result<std::string> entry_name() {
    if (long_name_) {
      std::string name = std::move(*long_name_);
      long_name_.reset();
      return name;
    }
    const std::string name = field_text(block_, 100);
    if (!is_valid_utf8(name)) return extract_error("tar name field is not valid UTF-8");
    // Only POSIX ustar has a prefix here; GNU tar keeps other fields there.
    std::string prefix;
    if (is_posix_magic(block_)) prefix = field_text(block_ + 345, 155);
    if (!is_valid_utf8(prefix)) return extract_error("tar prefix field is not valid UTF-8");
    return prefix.empty() ? name : prefix + "/" + name;
  }

  Status entry() {
    const bool gnu = is_gnu_magic(block_);
    if (!gnu && !is_posix_magic(block_))
      return extract_error("tar magic " +
                           quoted_form(std::string_view(reinterpret_cast<char*>(block_) + 257, 8)) +
                           " is neither POSIX ustar nor GNU tar");
    VELK_TRY(check_checksum(block_));
    VELK_ASSIGN(const uint64_t size, parse_octal(block_ + 124, 12, "size"));
    VELK_ASSIGN(const uint64_t mode, parse_octal(block_ + 100, 8, "mode"));
    const unsigned char flag = block_[156];
    switch (flag) {
      case 'x':
      case 'g': {
        VELK_ASSIGN(const std::string data, read_small_data(size, "a pax extended header"));
        return check_pax_records(data);
      }
      case 'L': {
        if (!gnu) return extract_error("a GNU long-name header appeared in a POSIX ustar archive");
        VELK_ASSIGN(std::string data, read_small_data(size, "a GNU long name"));
        data.resize(std::strlen(data.c_str()));
        if (!is_valid_utf8(data)) return extract_error("a GNU long name is not valid UTF-8");
        long_name_ = std::move(data);
        return {};
      }
      case '0':
      case '\0':
        return file(size, static_cast<uint32_t>(mode));
      case '5': {
        VELK_ASSIGN(const std::string name, entry_name());
        if (size != 0)
          return extract_error("directory " + name + " carries " + std::to_string(size) +
                               " bytes");
        VELK_ASSIGN(const EntryPath path, target_.admit(name));
        return target_.make_directory(path);
      }
      default: {
        const char text[] = {'\'', static_cast<char>(flag), '\'', 0};
        return extract_error("refusing " + std::string(refused_type(flag)) + " (type flag " +
                             text +
                             "): extraction here writes regular files and directories and "
                             "nothing else, so that no entry can redirect a later write "
                             "outside the destination");
      }
    }
  }

  Status file(uint64_t size, uint32_t mode) {
    VELK_ASSIGN(const std::string name, entry_name());
    VELK_ASSIGN(const EntryPath path, target_.admit(name));
    VELK_ASSIGN(OutputFile out, target_.create_file(path, size, "archive file could not be written"));
    uint64_t left = size;
    while (left > 0) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(left, kCopyBuffer));
      auto got = read_full(buffer_.get(), want);
      if (!got.ok()) return read_failure("archive entry could not be read", std::move(got).error());
      if (*got < want) return extract_error("archive ended in the middle of an entry");
      VELK_TRY(out.write(buffer_.get(), want));
      left -= want;
    }
    VELK_TRY(skip_padding(size));
    return target_.finish_file(out, mode);
  }

  GzipReader& in_;
  ExtractTarget& target_;
  std::unique_ptr<unsigned char[]> buffer_;
  unsigned char block_[kBlock];
  std::optional<std::string> long_name_;
};

}  // namespace

Status check_pax_records(std::string_view data) {
  size_t pos = 0;
  while (pos < data.size()) {
    const std::string_view rest = data.substr(pos);
    const size_t space = rest.find(' ');
    if (space == std::string_view::npos) return extract_error("a pax record has no length field");
    const std::string_view length_text = rest.substr(0, space);
    if (!is_valid_utf8(length_text)) return extract_error("a pax record length is not text");
    const auto not_number = [&] {
      return extract_error("a pax record length " + quoted_form(length_text) + " is not a number");
    };
    size_t i = !length_text.empty() && length_text[0] == '+' ? 1 : 0;
    if (i == length_text.size()) return not_number();
    uint64_t length = 0;
    for (; i < length_text.size(); ++i) {
      const char c = length_text[i];
      if (c < '0' || c > '9') return not_number();
      const uint64_t digit = static_cast<uint64_t>(c - '0');
      if (length > (UINT64_MAX - digit) / 10) return not_number();
      length = length * 10 + digit;
    }
    if (length <= space + 1 || length > rest.size())
      return extract_error("a pax record claims " + std::to_string(length) +
                           " bytes, which does not fit what remains");
    const std::string_view record = rest.substr(0, static_cast<size_t>(length));
    const size_t equals = record.find('=', space + 1);
    if (equals == std::string_view::npos) return extract_error("a pax record has no key");
    const std::string key = lossy_utf8(record.substr(space + 1, equals - space - 1));
    if (key == "path" || key == "size" || key == "linkpath" || key == "SCHILY.filetype" ||
        starts_with(key, "GNU.sparse."))
      return extract_error("refusing a pax extended header carrying " + quoted_form(key) +
                           ": it would change what this reader writes or where, and extraction "
                           "here acts only on the header fields it can see");
    pos += static_cast<size_t>(length);
  }
  return {};
}

Status extract_tar(GzipReader& in, ExtractTarget& target) {
  return TarExtractor(in, target).run();
}

}  // namespace velk
