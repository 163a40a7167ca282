// An output file of the bag tool that never harms another file: it is
// written as a new temporary file beside the output, synced, and renamed into
// place only by commit(). Until then, and when the run fails or is ended by
// a stop signal, only that temporary file is removed; whatever the output
// path named before stays as it was. Its name, ".OUT.tmp-PID-BOOT-START-XXXXXX",
// names the process that writes it (signals.h), so that a later run removes
// it if that process was killed.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace rnr::bagtool {

class OutputFile {
 public:
  OutputFile() = default;
  // Removes the temporary file unless committed.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Refuses, before anything is written, an output that is the bag `bag`,
  // its -journal, -wal or -shm file, a link to any of them, an existing file
  // that is not a regular one (a device, a FIFO, a directory), or one whose
  // directory does not let a file be created; otherwise creates the
  // temporary file. A symbolic link as output stays: the file it names is
  // replaced. False with `error` set on refusal.
  // An existing output is refused unless `force`. The directory's
  // temporary files of runs that were killed are removed first.
  bool open(const std::string& path, const std::string& bag, bool force, std::string* error);
  // The same with several input bags, none of which the output may be.
  bool open(const std::string& path, const std::vector<std::string>& bags, bool force,
            std::string* error);

  // The temporary file, for writers that open it themselves (SQLite); it
  // exists, empty, after open(). Such a writer closes its own connection
  // before commit() (and removes any files of its own beside it).
  const std::string& temp_path() const { return temp_path_; }
  // The temporary file as a stream, opened on first use; null on failure.
  FILE* stream();

  // Closes the stream, syncs the temporary file, renames it to the output
  // (without `force` only while no file has that name) and syncs the
  // directory. False with `error` set on failure, after which
  // the temporary file is gone.
  bool commit(std::string* error);
  // Removes the temporary file (also done by the destructor).
  void discard();

 private:
  std::string final_path_;
  std::string temp_path_;
  int fd_ = -1;
  FILE* stream_ = nullptr;
  int slot_ = -1;  // in the table the second stop signal removes files from
  bool force_ = false;
};

}  // namespace rnr::bagtool
