// Every global function that the three mbedTLS archives define must stand in
// the dynamic symbol table of quorvin-rnr, where a library loaded into the
// process can resolve it.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

namespace {

// Runs nm with `options` on `file` and returns the names of the symbols
// whose type is one of `types`.
std::set<std::string> symbols(const std::string& options, const std::string& file,
                              const std::string& types) {
  std::set<std::string> names;
  const std::string command = "nm " + options + " '" + file + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return names;
  }
  char line[4096];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (fields >> address >> type >> name && types.find(type) != std::string::npos) {
      names.insert(name);
    }
  }
  pclose(pipe);
  return names;
}

TEST(MbedtlsExport, EveryArchiveFunctionIsInTheDynamicSymbolTable) {
  const std::set<std::string> exported = symbols("-D --defined-only", RNR_EXECUTABLE, "TtWw");
  ASSERT_FALSE(exported.empty());

  std::istringstream archives(RNR_MBEDTLS_ARCHIVES);
  std::string archive;
  int archive_count = 0;
  while (std::getline(archives, archive, '|')) {
    ++archive_count;
    const std::set<std::string> functions = symbols("-g --defined-only", archive, "TW");
    EXPECT_GT(functions.size(), 10u) << archive;
    for (const std::string& function : functions) {
      EXPECT_TRUE(exported.count(function)) << function << " of " << archive;
    }
  }
  EXPECT_EQ(archive_count, 3);
}

}  // namespace
