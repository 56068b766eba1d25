// The least durable work an everyday change needs, done plainly: what the
// program's install, reinstall, restore and remove of a small setup are
// timed against. No hashing, no checks, no locking: only the writes and the
// flushes that make them survive a power cut, in an order that keeps the
// target recoverable.
//
//   durable_yardstick install TARGET HOME        write HOME's files into TARGET
//   durable_yardstick replace TARGET HOME        back up TARGET's files, then install
//   durable_yardstick restore TARGET SLOT        back up, then put SLOT's files back
//   durable_yardstick remove  TARGET             back up, then take TARGET's files away
//
// A backup copies every file at the top of TARGET (but its own ".yardstick"
// directory and state file) into .yardstick/backup/payload, flushing each
// file and each new directory, then writes its record. A change writes a
// journal and flushes it, makes its writes and removals (each file written
// flushed, each directory it added to or removed from flushed), writes a
// state record beside the target's files through a flushed staging file and
// a rename, removes the journal and flushes the directories that changed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "durable_yardstick: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

void flush_dir(const fs::path& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0 || ::fsync(fd) != 0) die("flush " + dir.string());
  ::close(fd);
}

// Every directory an entry was made in or taken from, flushed once at the end.
std::set<fs::path> touched;

void write_flushed(const fs::path& path, const char* data, size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) die("create " + path.string());
  for (size_t done = 0; done < size;) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) die("write " + path.string());
    done += static_cast<size_t>(n);
  }
  if (::fdatasync(fd) != 0) die("flush " + path.string());
  ::close(fd);
  touched.insert(path.parent_path());
}

void make_dirs(const fs::path& dir) {
  if (fs::exists(dir)) return;
  make_dirs(dir.parent_path());
  if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) die("mkdir " + dir.string());
  touched.insert(dir.parent_path());
  touched.insert(dir);
}

// Copies every regular file below `from` to the same place below `to`.
void copy_files(const fs::path& from, const fs::path& to, const std::set<std::string>& skip = {}) {
  std::vector<char> bytes;
  for (auto it = fs::recursive_directory_iterator(from); it != fs::recursive_directory_iterator();
       ++it) {
    const fs::path relative = fs::relative(it->path(), from);
    if (it.depth() == 0 && skip.count(relative.string())) {
      it.disable_recursion_pending();
      continue;
    }
    if (it->is_directory()) {
      make_dirs(to / relative);
      continue;
    }
    FILE* in = std::fopen(it->path().c_str(), "rb");
    if (!in) die("open " + it->path().string());
    bytes.resize(static_cast<size_t>(it->file_size()));
    if (std::fread(bytes.data(), 1, bytes.size(), in) != bytes.size()) die("read");
    std::fclose(in);
    make_dirs((to / relative).parent_path());
    write_flushed(to / relative, bytes.data(), bytes.size());
  }
}

void flush_touched() {
  for (const fs::path& dir : touched)
    if (fs::exists(dir)) flush_dir(dir);
  touched.clear();
}

void record(const fs::path& path, const std::string& text) {
  const fs::path staging = path.string() + ".staging";
  write_flushed(staging, text.data(), text.size());
  if (::rename(staging.c_str(), path.c_str()) != 0) die("rename " + path.string());
  flush_dir(path.parent_path());
}

const std::set<std::string> kOwn = {".yardstick", "STATE.json"};

void back_up(const fs::path& target) {
  const fs::path slot = target / ".yardstick" / "backup";
  fs::remove_all(slot);
  make_dirs(slot / "payload");
  copy_files(target, slot / "payload", kOwn);
  flush_touched();
  record(slot / "record.json", std::string(160, 'r'));
}

void remove_owned(const fs::path& target) {
  for (const auto& entry : fs::directory_iterator(target)) {
    if (kOwn.count(entry.path().filename().string())) continue;
    if (entry.is_directory() && !entry.is_symlink())
      for (auto it = fs::recursive_directory_iterator(entry.path());
           it != fs::recursive_directory_iterator(); ++it)
        if (it->is_directory()) touched.insert(it->path().parent_path());
    fs::remove_all(entry.path());
  }
  touched.insert(target);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: durable_yardstick install|replace|restore|remove TARGET [DIR]\n");
    return 2;
  }
  const std::string mode = argv[1];
  const fs::path target = argv[2];
  const fs::path source = argc > 3 ? fs::path(argv[3]) : fs::path();
  make_dirs(target / ".yardstick");
  if (mode != "install") back_up(target);

  const fs::path journal = target / ".yardstick" / "journal.json";
  write_flushed(journal, std::string(400, 'j').data(), 400);
  flush_dir(journal.parent_path());
  touched.clear();
  if (mode != "install") remove_owned(target);
  if (mode == "install" || mode == "replace") copy_files(source, target);
  if (mode == "restore") copy_files(source / "payload", target);
  flush_touched();
  record(target / "STATE.json", std::string(2000, 's'));
  if (::unlink(journal.c_str()) != 0) die("unlink " + journal.string());
  flush_dir(journal.parent_path());
  return 0;
}
