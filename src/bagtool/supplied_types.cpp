// Type descriptions from --idl files: reading them, looking a type up by
// name, and checking a description against a topic's samples.
#include "bagtool/supplied_types.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "bagtool/signals.h"
#include "types/idl_parse.h"
#include "types/type_model.h"

namespace rnr::bagtool {
namespace {

// The file's text with each #include line blanked, so that line numbers in
// the IDL library's diagnostics stay those of the file.
std::string without_includes(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end + 1;
    bool include = false;
    const size_t hash = text.find_first_not_of(" \t", at);
    if (hash < end && text[hash] == '#') {
      const size_t word = text.find_first_not_of(" \t", hash + 1);
      include = word < end && text.compare(word, 7, "include") == 0;
    }
    if (include) {
      out += '\n';
    } else {
      out.append(text, at, end - at);
    }
    at = end;
  }
  return out;
}

constexpr const char* kMark = "// supplied from ";

std::string strip_scope(const std::string& name) {
  return name.rfind("::", 0) == 0 ? name.substr(2) : name;
}

}  // namespace

bool is_supplied_description(const std::string& description) {
  return description.rfind(kMark, 0) == 0;
}

std::optional<std::string> ros2_declared_name(const std::string& type_name) {
  const std::string name = strip_scope(type_name);
  const std::string marker = "::dds_::";
  const size_t at = name.rfind(marker);
  if (at == std::string::npos || at == 0) {
    return std::nullopt;
  }
  const std::string last = name.substr(at + marker.size());
  if (last.size() < 2 || last.back() != '_' || last.find(':') != std::string::npos) {
    return std::nullopt;
  }
  return name.substr(0, at) + "::" + last.substr(0, last.size() - 1);
}

bool SuppliedTypes::load(const std::vector<std::string>& files, std::string* error) {
  files_.clear();
  text_.clear();
  found_.clear();
  for (const std::string& file : files) {
    struct stat st {};
    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    if (stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && in) {
      content << in.rdbuf();
    }
    if (!S_ISREG(st.st_mode) || !in || in.bad()) {
      *error = "--idl " + file + ": cannot be read";
      return false;
    }
    // A line directive per file: the library's diagnostics name the file.
    text_ += "#line 1 \"";
    for (char c : file) {
      if (c == '"' || c == '\\' || c == '\n') {
        c = '_';
      }
      text_ += c;
    }
    text_ += "\"\n";
    text_ += without_includes(content.str());
    text_ += '\n';
    files_.push_back(file);
  }
  std::string why;
  if (!files_.empty() && !types::idl_parses(text_, &why)) {
    *error = "--idl " + names() + ": " + why;
    return false;
  }
  return true;
}

std::string SuppliedTypes::names() const {
  std::string out;
  for (const std::string& file : files_) {
    if (!out.empty()) {
      out += ", ";
    }
    out += file;
  }
  return out;
}

std::optional<std::string> SuppliedTypes::description(const std::string& type_name,
                                                      std::string* why) const {
  if (files_.empty()) {
    *why = "no --idl file given";
    return std::nullopt;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  auto known = found_.find(type_name);
  if (known == found_.end()) {
    std::string reason;
    std::optional<std::string> text;
    auto graph = types::type_graph_from_idl(text_, type_name, &reason);
    if (!graph) {
      if (auto declared = ros2_declared_name(type_name)) {
        graph = types::type_graph_from_idl(text_, *declared, &reason);
      }
    }
    if (!graph) {
      reason = names() + " declares no struct or union " + strip_scope(type_name);
    } else {
      // Under the topic's own type name, so that the text describes it as a
      // writer's own description would.
      graph->types[graph->root].name = strip_scope(type_name);
      graph->type_name = strip_scope(type_name);
      text = types::render_idl(*graph, &reason);
      if (text) {
        std::string names_in_line = names();
        for (char& c : names_in_line) {
          c = c == '\n' || c == '\r' ? '_' : c;
        }
        *text = kMark + names_in_line + ", not announced by a writer\n" + *text;
        if (!types::type_graph_from_idl(*text, type_name, &reason)) {
          text.reset();
        }
      }
      if (!text) {
        reason = "the description of " + strip_scope(type_name) + " in " + names() +
                 " cannot be written as IDL (" + reason + ")";
      }
    }
    known = found_.emplace(type_name, std::make_pair(std::move(text), std::move(reason))).first;
  }
  if (!known->second.first) {
    *why = known->second.second;
  }
  return known->second.first;
}

bool SuppliedTypes::fill(bag::TopicSummary* topic, std::string* why) const {
  why->clear();
  if (files_.empty() || (topic->metastring && !topic->metastring->empty())) {
    return false;
  }
  auto text = description(topic->type, why);
  if (!text) {
    return false;
  }
  topic->metastring = std::move(*text);
  return true;
}

bool samples_fit(bag::BagReader& reader, const bag::TopicSummary& topic,
                 const std::string& description, size_t count, std::string* error) {
  auto graph = types::type_graph_from_idl(description, topic.type, error);
  if (!graph) {
    return false;
  }
  types::JsonOptions options;
  options.whole = true;
  options.max_bytes = 0;
  types::JsonDecoder decoder(*graph, options);
  bag::SampleFilter filter;
  filter.topic_ids = {topic.id};
  bag::SampleChunk chunk;
  std::string json;
  size_t checked = 0;
  int64_t after = 0;
  while (checked < count) {
    if (!reader.read_chunk(filter, after, &chunk, error)) {
      return false;
    }
    if (chunk.empty()) {
      break;
    }
    for (const bag::SampleRow& row : chunk.rows()) {
      if (checked++ == count) {
        break;
      }
      std::string why;
      json.clear();
      if (!decoder.append(row.data, row.size, &json, &why)) {
        *error = "sample " + std::to_string(row.id) + " does not fit the description (" + why + ")";
        return false;
      }
    }
    after = chunk.last_id();
    if (stop_signal() != 0) {
      *error = "interrupted";
      return false;
    }
  }
  return true;
}

}  // namespace rnr::bagtool
