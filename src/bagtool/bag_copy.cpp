// `cut` and `merge`: new bags from the samples of existing ones. The output
// is written by the bag store (its tables, its catalogue, the writers' QoS
// and sample insertion) into the temporary file of an OutputFile beside
// OUT, which is synced and renamed into place only when everything is
// written; on failure or a stop signal the temporary file is removed. The
// inputs are only read.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>
#include <utility>

#include "bag/bag_reader.h"
#include "bag/database.h"
#include "bag/instance_events.h"
#include "bag/sample_sources.h"
#include "bag/writer_qos.h"
#include "bagtool/commands.h"
#include "bagtool/output_file.h"
#include "bagtool/recording_set.h"
#include "bagtool/progress.h"
#include "bagtool/signals.h"
#include "bagtool/topic_select.h"

namespace rnr::bagtool {

using bag::BagReader;
using bag::SampleChunk;
using bag::SampleFilter;
using bag::SampleRow;
using bag::TopicSummary;

namespace {

constexpr uint64_t kRoomWaitNs = 100000000;

// An input being read: its reader, its topics and the chunk read last.
struct Input {
  std::string path;
  BagReader reader;
  std::vector<TopicSummary> topics;
  std::vector<std::string> writers;
  std::vector<rnr_WriterQosRow> writer_qos;
  SampleFilter filter;
  SampleChunk chunk;
  size_t next = 0;  // row of `chunk` to take next
  bool done = false;
  std::map<int64_t, uint32_t> out_topic;  // input topic id -> output topic id
  // Rows that repeat a sample of an earlier input (the latched state a split
  // bag starts with), ascending: left out.
  std::vector<int64_t> repeated;
  // Its disposes and unregisters in the filter's range, copied where they
  // were received among its samples.
  bag::InstanceEventCursor events;
  // Who wrote each sample and when, when the input kept it, and its writer
  // ids under the output's ids.
  bag::SampleSourceCursor sources;
  std::unordered_map<int64_t, int64_t> out_writer;
};

constexpr size_t kRowsPerStatement = 256;
// The most sample bytes waiting for the store thread; the copy waits for
// room beyond it.
constexpr size_t kHeldBytes = size_t{64} << 20;

// The output being written: the store on the temporary file.
class Output {
 public:
  Output() = default;
  ~Output() { discard(); }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Refuses an output that is an input (or its journal, also through a link)
  // or not a regular file, and creates the temporary file.
  bool open(const std::string& out, const std::vector<std::string>& inputs, bool force,
            std::string* error) {
    out_ = out;
    return file_.open(out, inputs, force, error);
  }
  // The store on the temporary file, in one transaction. The output always
  // has the writer_qos table, as a recorded bag has: empty when no input
  // recorded its writers' QoS.
  // With `sources` it has the sample_sources table too.
  bool create(bool sources, std::string* error) {
    store_ = rnr_Database_create(file_.temp_path().c_str());
    if (store_ == nullptr) {
      *error = out_ + ": cannot create the bag";
      return false;
    }
    if (!rnr_Database_create_writer_qos_table(store_) ||
        !rnr_Database_create_instance_events_table(store_) ||
        (sources && !rnr_Database_create_sample_sources_table(store_))) {
      *error = out_ + ": cannot create the bag";
      return false;
    }
    return exec("BEGIN", error);
  }
  rnr_Database* store() { return store_; }
  bool exec(const char* sql, std::string* error) {
    if (sqlite3_exec(store_->db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
      *error = out_ + ": cannot write the bag (" + sqlite3_errmsg(store_->db) + ")";
      return false;
    }
    return true;
  }
  // The new writers row's id, or -1.
  int64_t add_writer(const std::string& guid, std::string* error) {
    sqlite3_stmt* stmt = nullptr;
    bool ok = sqlite3_prepare_v2(store_->db, "INSERT INTO writers(guid) VALUES(?);", -1, &stmt,
                                 nullptr) == SQLITE_OK &&
              sqlite3_bind_text(stmt, 1, guid.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK &&
              sqlite3_step(stmt) == SQLITE_DONE;
    sqlite3_finalize(stmt);
    if (!ok) {
      *error = out_ + ": cannot write the writers (" + sqlite3_errmsg(store_->db) + ")";
      return -1;
    }
    return sqlite3_last_insert_rowid(store_->db);
  }
  // Samples go in through the store's batched insertion, 256 rows per
  // statement, all inside the one transaction.
  bool start_samples(std::string* error) {
    rnr_Database_set_held_bytes_limit(store_, kHeldBytes);
    if (!rnr_Database_start_bulk_insert_data(store_, kRowsPerStatement)) {
      *error = out_ + ": cannot write the samples";
      return false;
    }
    return true;
  }
  // Commits, closes, syncs and renames the file into place. Fails when the
  // store could not write every sample.
  bool finish(std::string* error) {
    rnr_Database_end_bulk_insert_data(store_);
    const rnr_BulkInsertStats stats = rnr_Database_bulk_insert_stats(store_);
    if (stats.lost_samples > 0 || stats.failing) {
      *error = out_ + ": cannot write the samples";
      return false;
    }
    if (!exec("COMMIT", error)) {
      return false;
    }
    rnr_Database_destroy(store_);
    store_ = nullptr;
    return file_.commit(error);
  }

 private:
  void discard() {
    if (store_ != nullptr) {
      rnr_Database_destroy(store_);
      store_ = nullptr;
    }
    if (!file_.temp_path().empty()) {
      // A journal SQLite may have left beside this run's own file.
      unlink((file_.temp_path() + "-journal").c_str());
    }
    file_.discard();
  }

  std::string out_;
  OutputFile file_;
  rnr_Database* store_ = nullptr;
};

// Opens the inputs, unites their topics by (name, type) and their writers by
// GUID in the output, and maps each input's topic ids.
bool prepare(std::vector<std::unique_ptr<Input>>& inputs, Output& output, std::string* error) {
  struct Topic {
    std::string name, type;
    std::optional<std::string> metastring;
    int64_t is_with_key = 0;
  };
  std::vector<Topic> topics;
  std::map<std::pair<std::string, std::string>, size_t> topic_index;
  std::vector<std::string> writers;
  std::set<std::string> writer_seen;
  for (auto& input : inputs) {
    for (const auto& t : input->topics) {
      auto [it, added] = topic_index.emplace(std::make_pair(t.name, t.type), topics.size());
      if (added) {
        topics.push_back({t.name, t.type, t.metastring, t.is_with_key});
      } else if (!topics[it->second].metastring && t.metastring) {
        // The key flag belongs with the type description it was learnt with.
        topics[it->second].metastring = t.metastring;
        topics[it->second].is_with_key = t.is_with_key;
      }
    }
    for (const auto& guid : input->writers) {
      if (writer_seen.insert(guid).second) {
        writers.push_back(guid);
      }
    }
  }
  std::vector<uint32_t> out_ids;
  for (const auto& t : topics) {
    const int32_t id = rnr_Database_insert_topic(output.store(), t.name.c_str(), t.type.c_str());
    rnr_TopicDescription description{};
    description.id = id;
    const bool names_fit = rnr_name_copy(description.topic_name, t.name.c_str()) &&
                           rnr_name_copy(description.type_name, t.type.c_str());
    description.metastring = t.metastring ? const_cast<char*>(t.metastring->c_str()) : nullptr;
    description.is_with_key = t.is_with_key != 0;
    if (id < 0 || !names_fit ||
        ((t.metastring || t.is_with_key != 0) &&
         !rnr_Database_update_topics(output.store(), &description))) {
      *error = "cannot write the topic " + t.name;
      return false;
    }
    out_ids.push_back(static_cast<uint32_t>(id));
  }
  for (auto& input : inputs) {
    for (const auto& t : input->topics) {
      input->out_topic[t.id] = out_ids[topic_index.at({t.name, t.type})];
    }
  }
  std::map<std::string, int64_t> writer_ids;
  for (const auto& guid : writers) {
    const int64_t id = output.add_writer(guid, error);
    if (id < 0) {
      return false;
    }
    writer_ids[guid] = id;
  }
  for (auto& input : inputs) {
    if (!input->sources.present()) {
      continue;
    }
    std::unordered_map<int64_t, std::string> guids;
    if (!bag::writer_guids(input->reader.connection(), &guids, error)) {
      *error = input->path + ": " + *error;
      return false;
    }
    for (const auto& [id, guid] : guids) {
      const auto out = writer_ids.find(guid);
      if (out != writer_ids.end()) {
        input->out_writer[id] = out->second;
      }
    }
  }
  // Each copied writer's QoS on a copied topic, under the output's ids; a
  // writer in several inputs keeps the QoS of the first.
  std::set<int64_t> described;
  for (auto& input : inputs) {
    for (const rnr_WriterQosRow& row : input->writer_qos) {
      auto writer = writer_ids.find(row.guid);
      auto topic = input->out_topic.find(row.topic_id);
      if (row.guid.empty() || writer == writer_ids.end() || topic == input->out_topic.end() ||
          !described.insert(writer->second).second) {
        continue;
      }
      if (!rnr_Database_insert_writer_qos(output.store(), static_cast<int32_t>(writer->second),
                                          static_cast<int32_t>(topic->second), row.qos)) {
        *error = "cannot write the QoS of writer " + row.guid;
        return false;
      }
    }
  }
  return true;
}

// The input's next row, reading the next chunk when needed; null at its end
// or when a read failed (`error` set).
const SampleRow* peek(Input& input, std::string* error) {
  if (input.done) {
    return nullptr;
  }
  if (input.next >= input.chunk.rows().size()) {
    const int64_t after =
        input.chunk.empty() && input.next == 0 ? INT64_MIN : input.chunk.last_id();
    if (!input.reader.read_chunk(input.filter, after, &input.chunk, error)) {
      *error = input.path + ": " + *error;
      input.done = true;
      return nullptr;
    }
    input.next = 0;
    if (input.chunk.empty()) {
      input.done = true;
      return nullptr;
    }
  }
  return &input.chunk.rows()[input.next];
}

// The input's next event when it was received before `row` (or the input
// has no more rows); null otherwise or when a read failed (`error` set).
const bag::InstanceEvent* due_event(Input& input, const SampleRow* row, std::string* error) {
  const bag::InstanceEvent* event = nullptr;
  if (!input.events.peek(&event, error)) {
    *error = input.path + ": " + *error;
    return nullptr;
  }
  return event != nullptr && (row == nullptr || event->after_data_id < row->id) ? event : nullptr;
}

// Copies one event under the output's topic id; false when it is left out
// (no listed topic, no valid timestamp) or cannot be written (`failed`).
bool copy_event(Input& input, const bag::InstanceEvent& e, rnr_Database* store, bool* failed) {
  auto topic = input.out_topic.find(e.topic_id);
  const bool dispose = e.kind == "dispose";
  if (topic == input.out_topic.end() || !e.timestamp_is_integer || e.timestamp < 0 ||
      (!dispose && e.kind != "unregister")) {
    return false;
  }
  rnr_InstanceEventRow row{};
  row.timestamp = static_cast<uint64_t>(e.timestamp);
  row.topic_id = topic->second;
  row.kind = dispose ? RNR_INSTANCE_DISPOSE : RNR_INSTANCE_UNREGISTER;
  row.source_timestamp = e.source_timestamp ? static_cast<uint64_t>(*e.source_timestamp) : 0;
  row.writer_guid = e.writer.empty() ? nullptr : e.writer.c_str();
  row.key = e.key.empty() ? nullptr : e.key.data();
  row.key_size = e.key.size();
  row.key_hash = e.key_hash.size() == 16 ? e.key_hash.data() : nullptr;
  row.with_sample = e.with_sample;
  *failed = !rnr_Database_insert_instance_event(store, &row);
  return !*failed;
}

// A sample's source under the output's writer ids (a writer the output has
// no row of is not known).
rnr_SampleSource copied_source(const Input& input, const bag::SampleSourceRow* row) {
  rnr_SampleSource source{};
  if (row == nullptr) {
    return source;
  }
  if (row->has_writer) {
    const auto writer = input.out_writer.find(row->writer_id);
    source.writer_id = writer != input.out_writer.end() ? static_cast<int32_t>(writer->second) : 0;
  }
  source.source_timestamp = row->has_source_timestamp && row->source_timestamp > 0
                                ? static_cast<uint64_t>(row->source_timestamp)
                                : 0;
  source.sequence =
      row->has_sequence && row->sequence > 0 ? static_cast<uint64_t>(row->sequence) : 0;
  return source;
}

// Copies the selected samples of every input into the output, ordered by
// reception time; the rows of one input keep their order among themselves
// (an earlier input first at equal times).
int copy_bags(const char* command, std::vector<std::unique_ptr<Input>>& inputs,
              const std::string& out, bool force) {
  std::vector<std::string> paths;
  for (const auto& input : inputs) {
    paths.push_back(input->path);
  }
  Output output;
  std::string error;
  if (!output.open(out, paths, force, &error)) {
    return report_failure(error);
  }
  uint64_t total = 0;
  for (auto& input : inputs) {
    uint64_t n = 0;
    if (Progress::wanted() && !input->reader.count(input->filter, &n, &error)) {
      return report_failure(input->path + ": " + error);
    }
    total += n;
  }

  // From here a stop signal ends the copy in order; the output's temporary
  // file goes with it.
  const bool sources = std::any_of(inputs.begin(), inputs.end(),
                                   [](const auto& input) { return input->sources.present(); });
  if (!output.create(sources, &error) || !prepare(inputs, output, &error) ||
      !output.start_samples(&error)) {
    return report_failure(error);
  }
  for (auto& input : inputs) {
    if (!input->events.open(input->reader.connection(), input->filter, &error)) {
      return report_failure(input->path + ": " + error);
    }
  }
  Progress progress(total);
  uint64_t copied = 0, skipped = 0, events_copied = 0, events_skipped = 0;
  std::string read_error;
  for (;;) {
    if (stop_signal() != 0) {
      progress.finish();
      return report_stop(command, out);
    }
    Input* earliest = nullptr;
    const SampleRow* row = nullptr;
    const bag::InstanceEvent* event = nullptr;
    int64_t earliest_time = 0;
    for (auto& input : inputs) {
      const SampleRow* candidate = peek(*input, &read_error);
      const bag::InstanceEvent* due =
          read_error.empty() ? due_event(*input, candidate, &read_error) : nullptr;
      if (!read_error.empty()) {
        progress.finish();
        return report_failure(read_error);
      }
      if (candidate == nullptr && due == nullptr) {
        continue;
      }
      const int64_t time = due != nullptr ? due->timestamp : candidate->timestamp;
      if (earliest == nullptr || time < earliest_time) {
        earliest = input.get();
        earliest_time = time;
        row = due != nullptr ? nullptr : candidate;
        event = due;
      }
    }
    if (earliest == nullptr) {
      break;
    }
    if (event != nullptr) {
      bool failed = false;
      if (copy_event(*earliest, *event, output.store(), &failed)) {
        ++events_copied;
      } else if (failed) {
        progress.finish();
        return report_failure(out + ": cannot write the instance events");
      } else {
        ++events_skipped;
      }
      earliest->events.pop();
      continue;
    }
    ++earliest->next;
    progress.step();
    if (std::binary_search(earliest->repeated.begin(), earliest->repeated.end(), row->id)) {
      continue;  // held once already, from the earlier bag
    }
    auto topic = earliest->out_topic.find(row->topic_id);
    // A sample of no listed topic, or without a reception time, has no
    // place in a bag of the store's schema.
    if (topic == earliest->out_topic.end() || !row->timestamp_is_integer || row->timestamp < 0) {
      ++skipped;
      continue;
    }
    // The reading runs ahead of the writing at most by the store's bound.
    while (rnr_Database_wait_for_room(output.store(), kRoomWaitNs) == 0 && stop_signal() == 0) {
    }
    rnr_DataRow data{static_cast<uint64_t>(row->timestamp), topic->second, row->data, row->size};
    const bag::SampleSourceRow* source_row = nullptr;
    if (!earliest->sources.find(row->id, &source_row, &read_error)) {
      progress.finish();
      return report_failure(earliest->path + ": " + read_error);
    }
    const rnr_SampleSource source = copied_source(*earliest, source_row);
    if (!rnr_Database_insert_data_with_source(output.store(), &data,
                                              source_row != nullptr ? &source : nullptr)) {
      progress.finish();
      return report_failure(out + ": cannot write the samples");
    }
    ++copied;
  }
  progress.finish();
  if (!output.finish(&error)) {
    return stop_signal() != 0 ? report_stop(command, out) : report_failure(error);
  }
  if (stop_signal() != 0) {
    // Stopped as the file took its place: the output is complete.
    return report_stop(command);
  }
  if (skipped > 0) {
    report_warning(std::to_string(skipped) +
                   " samples without a listed topic or a valid timestamp were left out");
  }
  if (events_skipped > 0) {
    report_warning(std::to_string(events_skipped) +
                   " instance events without a listed topic, a valid timestamp or a known kind "
                   "were left out");
  }
  std::printf("%s: %llu samples\n", out.c_str(), static_cast<unsigned long long>(copied));
  return std::fflush(stdout) == 0 ? 0 : 1;
}

// Whether `path` names a regular file, none of `inputs`, that begins as an
// SQLite database does.
bool is_other_sqlite_file(const std::string& path, const std::vector<std::string>& inputs) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return false;
  }
  for (const auto& input : inputs) {
    struct stat in {};
    if (stat(input.c_str(), &in) == 0 && in.st_dev == st.st_dev && in.st_ino == st.st_ino) {
      return false;
    }
  }
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    return false;
  }
  char head[16] = {};
  const bool read = std::fread(head, 1, sizeof head, file) == sizeof head;
  std::fclose(file);
  return read && std::memcmp(head, "SQLite format 3", 16) == 0;
}

std::unique_ptr<Input> open_input(const std::string& path, std::string* error) {
  auto input = std::make_unique<Input>();
  input->path = path;
  if (!input->reader.open(path, error) || !input->reader.topics(&input->topics, false, error) ||
      !input->reader.writers(&input->writers, error) ||
      !input->reader.writer_qos(&input->writer_qos, error) ||
      !input->sources.open(input->reader.connection(), error)) {
    *error = path + ": " + *error;
    return nullptr;
  }
  return input;
}

}  // namespace

int run_cut(const std::string& bag, const std::string& out, const std::optional<TimeArg>& start,
            const std::optional<TimeArg>& end, const std::vector<std::string>& patterns,
            bool force) {
  std::string error;
  std::vector<std::unique_ptr<Input>> inputs;
  inputs.push_back(open_input(bag, &error));
  if (inputs.back() == nullptr) {
    return report_failure(error);
  }
  Input& input = *inputs.back();
  if (!select_topics(input.topics, patterns, &input.filter.topic_ids, &error)) {
    return report_failure(bag + ": " + error);
  }
  // Only the chosen topics' rows go into the output.
  if (!patterns.empty()) {
    std::erase_if(input.topics,
                  [&](const TopicSummary& t) { return !matches_any(patterns, t.name); });
  } else {
    input.filter.topic_ids.clear();
  }
  if (start || end) {
    int64_t first = 0, last = 0;
    bool any = false;
    if (!input.reader.time_span(&first, &last, &any, &error)) {
      return report_failure(bag + ": " + error);
    }
    if (start) {
      input.filter.start = resolve_time(*start, first);
    }
    if (end) {
      input.filter.end = resolve_time(*end, first);
    }
  }
  return copy_bags("cut", inputs, out, force);
}

int run_merge(const std::string& out, const std::vector<std::string>& bags, bool force) {
  std::string error;
  if (!force && is_other_sqlite_file(out, bags)) {
    return report_failure("merge: " + out +
                          " exists and is a bag; merge writes its first argument (merge OUT "
                          "BAG...), give --force to replace it");
  }
  // A directory stands for its bags (in recording order), a file for itself;
  // the inputs keep the order they are given in. A row that repeats a
  // sample of a bag earlier in the recording (the latched state a split bag
  // starts with) is left to that bag.
  std::vector<std::string> listed, ordered;
  for (const auto& bag : bags) {
    struct stat st {};
    if (stat(bag.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      std::vector<std::string> in_directory;
      if (!expand_recording({bag}, &in_directory, &error)) {
        return report_failure("merge: " + error);
      }
      listed.insert(listed.end(), in_directory.begin(), in_directory.end());
    } else {
      listed.push_back(bag);
    }
  }
  if (!expand_recording(listed, &ordered, &error)) {
    return report_failure("merge: " + error);
  }
  std::map<std::string, std::vector<int64_t>> repeated;
  for (size_t k = 0; k < ordered.size(); ++k) {
    if (!repeated_rows_to_skip(ordered, k, &repeated[ordered[k]], &error)) {
      return report_failure(error);
    }
  }
  std::vector<std::unique_ptr<Input>> inputs;
  for (const auto& bag : listed) {
    inputs.push_back(open_input(bag, &error));
    if (inputs.back() == nullptr) {
      return report_failure(error);
    }
    inputs.back()->repeated = std::move(repeated[bag]);
  }
  return copy_bags("merge", inputs, out, force);
}

int run_cut(const std::vector<std::string>& bags, const std::string& out,
            const std::optional<TimeArg>& start, const std::optional<TimeArg>& end,
            const std::vector<std::string>& patterns, bool force) {
  if (!names_recording(bags)) {
    return run_cut(bags.empty() ? std::string() : bags[0], out, start, end, patterns, force);
  }
  // The bags in recording order, each leaving out the repeated rows whose
  // original an earlier one holds, as merge does.
  std::string error;
  std::vector<RecordingBag> recording;
  if (!open_recording(bags, &recording, &error)) {
    return report_failure("cut: " + error);
  }
  std::vector<std::unique_ptr<Input>> inputs;
  std::optional<int64_t> first;
  for (RecordingBag& bag : recording) {
    inputs.push_back(open_input(bag.path, &error));
    if (inputs.back() == nullptr) {
      return report_failure(error);
    }
    inputs.back()->repeated = std::move(bag.skipped);
    if (bag.any) {
      first = first ? std::min(*first, bag.first) : bag.first;
    }
  }
  // A pattern must match a topic of some bag; a bag without a chosen topic
  // gives nothing.
  for (const auto& pattern : patterns) {
    const bool matched = std::any_of(inputs.begin(), inputs.end(), [&](const auto& input) {
      return std::any_of(input->topics.begin(), input->topics.end(),
                         [&](const TopicSummary& t) { return matches_any({pattern}, t.name); });
    });
    if (!matched) {
      return report_failure("cut: --topic " + pattern + ": no topic of the recording matches");
    }
  }
  for (auto& input : inputs) {
    if (!patterns.empty()) {
      std::erase_if(input->topics,
                    [&](const TopicSummary& t) { return !matches_any(patterns, t.name); });
      for (const auto& t : input->topics) {
        input->filter.topic_ids.push_back(t.id);
      }
      input->done = input->topics.empty();
    }
    if (start) {
      input->filter.start = resolve_time(*start, first.value_or(0));
    }
    if (end) {
      input->filter.end = resolve_time(*end, first.value_or(0));
    }
  }
  return copy_bags("cut", inputs, out, force);
}

}  // namespace rnr::bagtool
