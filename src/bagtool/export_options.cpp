// The options of `json` and `mcap` that shape their output.
#include <cerrno>
#include <cstdlib>

#include "bagtool/commands.h"

namespace rnr::bagtool {
namespace {

// A count of bytes: digits, optionally followed by K or M (KiB, MiB).
bool parse_size(const std::string& text, size_t* out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  unsigned long long unit = 1;
  if (*end == 'K' || *end == 'k') {
    unit = 1024;
    ++end;
  } else if (*end == 'M' || *end == 'm') {
    unit = 1024 * 1024;
    ++end;
  }
  if (errno != 0 || *end != '\0' || value > (1ull << 40) / unit) {
    return false;
  }
  *out = static_cast<size_t>(value * unit);
  return true;
}

}  // namespace

OptionTake take_export_option(const std::string& command, const std::vector<std::string>& args,
                              size_t* i, ExportOptions* options, std::string* error) {
  std::string name = args[*i];
  std::string value;
  const size_t equals = name.find('=');
  const bool inline_value = name.rfind("--", 0) == 0 && equals != std::string::npos;
  if (inline_value) {
    value = name.substr(equals + 1);
    name.resize(equals);
  }
  const bool ours = command == "json"
                        ? name == "--max-bytes" || name == "--bytes" || name == "--idl"
                        : command == "mcap" && (name == "--compression" || name == "--chunk-size" ||
                                                name == "--idl");
  if (!ours) {
    return OptionTake::kNotTaken;
  }
  if (!inline_value) {
    if (*i + 1 >= args.size()) {
      *error = name + " needs a value";
      return OptionTake::kBadValue;
    }
    value = args[++*i];
  }
  if (name == "--idl") {
    if (value.empty()) {
      *error = "--idl needs a file";
      return OptionTake::kBadValue;
    }
    (command == "json" ? options->json.idl : options->mcap.idl).push_back(value);
  } else if (name == "--max-bytes") {
    size_t n = 0;
    if (value == "all") {
      n = 0;
    } else if (!parse_size(value, &n)) {
      *error = "--max-bytes " + value + ": not a count of bytes (or all)";
      return OptionTake::kBadValue;
    }
    options->json.max_bytes = n == 0 ? SIZE_MAX : n;
  } else if (name == "--bytes") {
    if (value != "decimal" && value != "base64") {
      *error = "--bytes " + value + ": decimal or base64";
      return OptionTake::kBadValue;
    }
    options->json.base64 = value == "base64";
  } else if (name == "--compression") {
    using Compression = McapOptions::Compression;
    if (value == "zstd") {
      options->mcap.compression = Compression::kZstd;
    } else if (value == "lz4") {
      options->mcap.compression = Compression::kLz4;
    } else if (value == "none") {
      options->mcap.compression = Compression::kNone;
    } else {
      *error = "--compression " + value + ": zstd, lz4 or none";
      return OptionTake::kBadValue;
    }
  } else {
    size_t n = 0;
    if (!parse_size(value, &n) || n < 1024 || n > (size_t{1} << 30)) {
      *error = "--chunk-size " + value + ": a size from 1K to 1024M";
      return OptionTake::kBadValue;
    }
    options->mcap.chunk_size = n;
  }
  return OptionTake::kTaken;
}

}  // namespace rnr::bagtool
