// Reads an MCAP file written by quorvin-rnr-bag with the MCAP library and the
// OMG IDL parser and CDR reader that common viewers use, and compares it with
// what the test expects (a JSON file written by the test):
//   { "messages": [{"topic", "sequence", "log_time" (text), "value",
//                   "members" (optional: compare only these)}...],
//     "topics": {name: {"count", "schema"}}, "writers": [guid...] }
// Every message must decode with its channel's schema to the expected value.
// Prints "OK <messages>" and exits 0, or prints the differences and exits 1.
//   node check_mcap.js FILE.mcap EXPECTED.json
"use strict";
const fs = require("fs");
const zlib = require("zlib");
const { McapIndexedReader } = require("@mcap/core");
const { loadDecompressHandlers } = require("@mcap/support");
const { parseIDL } = require("@foxglove/omgidl-parser");
const { MessageReader } = require("@foxglove/omgidl-serialization");

const problems = [];
function check(ok, text) {
  if (!ok && problems.length < 20) problems.push(text);
}

// Decoded values as plain JSON values: 64-bit integers as numbers, typed
// arrays as arrays.
function plain(v) {
  if (typeof v === "bigint") return Number(v);
  if (ArrayBuffer.isView(v)) return Array.from(v, plain);
  if (Array.isArray(v)) return v.map(plain);
  if (v !== null && typeof v === "object") {
    const out = {};
    for (const k of Object.keys(v)) out[k] = plain(v[k]);
    return out;
  }
  return v;
}

async function main() {
  const [file, expectedFile] = process.argv.slice(2);
  const bytes = fs.readFileSync(file);
  const expected = JSON.parse(fs.readFileSync(expectedFile, "utf8"));
  // Compressed chunks (zstd, lz4) are read with the viewers' decompressors.
  const reader = await McapIndexedReader.Initialize({
    decompressHandlers: await loadDecompressHandlers(),
    readable: {
      size: async () => BigInt(bytes.length),
      read: async (offset, length) => bytes.subarray(Number(offset), Number(offset + length)),
    },
  });

  // The data section's CRC, which the library does not check itself: from
  // the first byte to the data end record, 13 bytes before the summary.
  const dataEnd = Number(reader.footer.summaryStart) - 13;
  check(bytes[dataEnd] === 0x0f, "no data end record before the summary");
  check(zlib.crc32(bytes.subarray(0, dataEnd)) === bytes.readUInt32LE(dataEnd + 9),
        "data section CRC differs");

  const stats = reader.statistics;
  check(stats !== undefined, "no statistics");
  check(Number(stats.messageCount) === expected.messages.length,
        `statistics count ${stats.messageCount}, expected ${expected.messages.length}`);
  check(reader.chunkIndexes.length > 0 && stats.chunkCount === reader.chunkIndexes.length,
        "chunk indexes missing");
  const channelOf = new Map();
  for (const [id, channel] of reader.channelsById) {
    const want = expected.topics[channel.topic];
    check(want !== undefined, `unexpected channel ${channel.topic}`);
    if (want === undefined) continue;
    check(channel.messageEncoding === "cdr", `${channel.topic}: encoding ${channel.messageEncoding}`);
    check(Number(stats.channelMessageCounts.get(id) ?? 0n) === want.count,
          `${channel.topic}: ${stats.channelMessageCounts.get(id)} messages, expected ${want.count}`);
    const schema = reader.schemasById.get(channel.schemaId);
    check((schema !== undefined) === want.schema, `${channel.topic}: schema id ${channel.schemaId}`);
    let decoder;
    if (schema !== undefined) {
      check(schema.encoding === "omgidl", `${channel.topic}: schema encoding ${schema.encoding}`);
      decoder = new MessageReader(schema.name, parseIDL(new TextDecoder().decode(schema.data)));
    }
    channelOf.set(id, { topic: channel.topic, decoder });
  }
  check(channelOf.size === Object.keys(expected.topics).length, "a topic has no channel");

  const writers = [];
  for await (const m of reader.readMetadata({ name: "dds_writers" })) writers.push(...m.metadata.values());
  check(JSON.stringify(writers) === JSON.stringify(expected.writers), `writers ${writers}`);

  const bySequence = new Map(expected.messages.map((m) => [m.sequence, m]));
  let seen = 0;
  for await (const message of reader.readMessages()) {
    seen++;
    const want = bySequence.get(message.sequence);
    const channel = channelOf.get(message.channelId);
    check(want !== undefined && channel !== undefined, `unexpected message ${message.sequence}`);
    if (want === undefined || channel === undefined) continue;
    check(channel.topic === want.topic, `message ${message.sequence} on ${channel.topic}`);
    check(message.logTime === BigInt(want.log_time) && message.publishTime === message.logTime,
          `message ${message.sequence}: times ${message.logTime} ${message.publishTime}`);
    if (channel.decoder !== undefined) {
      const pick = (v) => (want.members ? Object.fromEntries(want.members.map((k) => [k, v[k]])) : v);
      const got = JSON.stringify(pick(plain(channel.decoder.readMessage(message.data))));
      check(got === JSON.stringify(pick(want.value)),
            `message ${message.sequence}: ${got} != ${JSON.stringify(pick(want.value))}`);
    }
  }
  check(seen === expected.messages.length, `read ${seen} messages`);

  if (problems.length > 0) {
    console.log(problems.join("\n"));
    process.exit(1);
  }
  console.log(`OK ${seen}`);
}

main().catch((e) => {
  console.log(`failed: ${e.stack || e}`);
  process.exit(1);
});
