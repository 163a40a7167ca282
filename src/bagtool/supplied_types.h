// Type descriptions given on the command line (--idl FILE, repeatable) for
// the topics whose writers announced none. The files are read as one IDL
// text in the order given, their #include lines left out (the included files
// are given as --idl of their own). A type is looked up by its own name and
// by the ROS 2 rule: "pkg::msg::dds_::Name_" is declared as "pkg::msg::Name".
// A description in the bag, or one a writer announces, always wins: these
// only fill in where there is none.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bag/bag_reader.h"

namespace rnr::bagtool {

// "pkg::msg::Name" for "pkg::msg::dds_::Name_" (a leading "::" allowed);
// nullopt for a name that does not follow the rule.
std::optional<std::string> ros2_declared_name(const std::string& type_name);

// The first line of every description these give: "// supplied from
// FILE..., not announced by a writer". A bag that stores one (record --idl,
// set-type) keeps the mark, so that its readers know the description was
// not the writer's own and must fit every byte.
bool is_supplied_description(const std::string& description);

class SuppliedTypes {
 public:
  // Reads the files. False with `error` set when one cannot be read or the
  // text does not parse (the IDL library names the file and line on
  // standard error).
  bool load(const std::vector<std::string>& files, std::string* error);
  bool empty() const { return files_.empty(); }
  // The files, as "a.idl, b.idl".
  std::string names() const;

  // IDL text that declares `type_name` under that name, as a bag stores a
  // type description, after the mark of a supplied one; nullopt with `why` set when the files
  // declare neither it nor its ROS 2 counterpart. Safe to call from several threads.
  std::optional<std::string> description(const std::string& type_name, std::string* why) const;

  // Gives `topic` the description of its type when it has none (no stored
  // text or an empty one, as for a writer that announced no type); true
  // when it did. False with `why` set when --idl was given but describes no
  // such type.
  bool fill(bag::TopicSummary* topic, std::string* why) const;

 private:
  std::vector<std::string> files_;
  std::string text_;
  mutable std::mutex mutex_;
  mutable std::map<std::string, std::pair<std::optional<std::string>, std::string>> found_;
};

// Whether the first `count` samples of `topic` (SIZE_MAX: all) decode with
// `description` of its type, each sample taken whole (padding to a multiple
// of 4 aside). False with `error` set, naming the first sample that does not
// fit, or the read that failed; false also when a stop signal came.
bool samples_fit(bag::BagReader& reader, const bag::TopicSummary& topic,
                 const std::string& description, size_t count, std::string* error);

}  // namespace rnr::bagtool
