#include "idlc.h"

#include <unistd.h>

#include <cstdlib>

#include "files.h"

namespace rnr::test {

std::vector<uint8_t> idlc_type_info(const std::string& idlc, const std::string& idl,
                                    const std::string& type_name, std::string* message) {
  TempDir dir;
  write_file(dir.file("t.idl"), idl);
  const std::string command = idlc + " -Wno-enum-consecutive -o " + dir.path() + " " +
                              dir.file("t.idl") + " > " + dir.file("idlc.log") + " 2>&1";
  std::vector<uint8_t> bytes;
  if (std::system(command.c_str()) != 0) {
    *message = "idlc rejects the text: " + read_file(dir.file("idlc.log"));
    return bytes;
  }
  std::string mangled;
  for (size_t i = 0; i < type_name.size(); ++i) {
    if (type_name.compare(i, 2, "::") == 0) {
      mangled += '_';
      ++i;
    } else {
      mangled += type_name[i];
    }
  }
  const std::string source = read_file(dir.file("t.c"));
  const std::string head = "#define TYPE_INFO_CDR_" + mangled + " (unsigned char []){";
  const size_t start = source.find(head);
  const size_t stop = start == std::string::npos ? start : source.find('}', start);
  if (stop == std::string::npos) {
    *message = "no type information for " + type_name + " in the generated code";
    return bytes;
  }
  for (size_t at = source.find("0x", start); at < stop; at = source.find("0x", at + 2)) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(source.substr(at + 2, 2), nullptr, 16)));
  }
  return bytes;
}

}  // namespace rnr::test
