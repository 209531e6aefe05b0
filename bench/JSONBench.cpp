// Throughput of the JSON codec against RapidJSON (DOM) and nlohmann/json on
// the same generated documents:
//  - SyncPage: a service sync page of 512 file entries;
//  - Notes: a list of 10,000 notes with Chinese titles and summaries;
//  - Numbers: a numbers-heavy document (coordinates, counters, ratios);
//  - Escaped: long strings full of escapes (quotes, line breaks, \u escapes).
// Parse benchmarks count the bytes of the input text, serialize benchmarks the
// bytes of the text written; both report bytes_per_second, but compare times:
// the codec writes doubles with 17 significant digits, RapidJSON with the
// shortest form, so their texts differ in length.
//
// The baselines of the ratios do the codec's work: RapidJSONValidating
// parses into a DOM (a rapidjson::Document, a tree like the codec's) with
// UTF-8 validation and correctly rounded numbers; the validating writer
// checks the UTF-8 of every string it writes, as the codec's writer does.
// RapidJSON's default parse and writer check neither and stay as references
// only (RapidJSONDefault), without a ratio. The program ends with
//   RATIO JSON/Parse/<document>      codec (strict parse) / RapidJSONValidating
//   RATIO JSON/ParseAll/<document>   codec (every parse option) / RapidJSONValidating
//   RATIO JSON/Serialize/<document>  codec / RapidJSON's validating writer
// from the medians of five interleaved repetitions (BenchRatio.h).
//
// Run: bench_JSON [--benchmark_filter=Parse] ...
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// Third-party headers come in as system headers (see json.cmake), so their
// warnings stay out of this build.
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <nlohmann/json.hpp>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "platform/Value.h"

#include "BenchRandom.h"
#include "BenchRatio.h"

namespace {

using kx::Value;

using Random = BenchRandom;

std::string HexId(Random& r) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string s(32, '0');
  for (char& c : s) c = kHex[r.below(16)];
  return s;
}

// Common characters of note titles, three UTF-8 bytes each.
const char* const kHan[] = {"笔", "记", "会", "议", "周", "报", "计", "划", "项", "目", "读",
                            "书", "旅", "行", "学", "习", "工", "作", "生", "活", "摘", "要",
                            "草", "稿", "想", "法", "清", "单", "日", "总", "结", "产", "品",
                            "设", "计", "需", "求", "文", "档", "资", "料", "整", "理", "年",
                            "度", "目", "标", "复", "盘", "课", "程", "研", "究", "方", "案"};

std::string HanText(Random& r, int minChars, int maxChars) {
  std::string s;
  const int n =
      minChars + static_cast<int>(r.below(static_cast<std::uint64_t>(maxChars - minChars + 1)));
  for (int i = 0; i < n; ++i) {
    s += kHan[r.below(sizeof kHan / sizeof kHan[0])];
    if (r.below(7) == 0) s += std::to_string(r.below(100));
  }
  return s;
}

Value SyncPage() {
  Random r(1);
  kx::Array entries;
  for (int i = 0; i < 512; ++i) {
    const bool dir = r.below(5) == 0;
    kx::Dictionary entry;
    entry.set("fileId", HexId(r));
    entry.set("parentId", r.below(10) == 0 ? std::string("ROOT") : HexId(r));
    entry.set("fileName", HanText(r, 2, 12) + (dir ? "" : ".note"));
    entry.set("dir", dir);
    entry.set("domain", static_cast<int>(r.below(3)));
    entry.set("entryType", dir ? 0 : 1);
    entry.set("version", static_cast<long long>(r.below(100000)));
    entry.set("createTime", 1500000000LL + static_cast<long long>(r.below(200000000)));
    entry.set("modifyTime", 1600000000LL + static_cast<long long>(r.below(100000000)));
    entry.set("fileSize", static_cast<long long>(r.below(5000000)));
    entry.set("deleted", r.below(20) == 0);
    entry.set("erased", false);
    entry.set("encrypted", false);
    entry.set("favorite", r.below(8) == 0);
    entry.set("tags", Value::array({HanText(r, 1, 3), HanText(r, 1, 3)}));
    kx::Dictionary meta;
    meta.set("title", HanText(r, 3, 20));
    meta.set("summary", HanText(r, 20, 60));
    meta.set("properties",
             "{\"bgImage\":\"paper-" + std::to_string(r.below(9)) + "\",\"font\":\"Helvetica\"}");
    meta.set("shareKey", Value());
    entry.set("meta", Value(std::move(meta)));
    entries.push_back(Value(std::move(entry)));
  }
  return Value::dict({{"code", 0},
                      {"message", "success"},
                      {"data", Value::dict({{"rootVersion", 987654},
                                            {"hasMore", true},
                                            {"entries", Value(std::move(entries))}})}});
}

Value Notes() {
  Random r(2);
  kx::Array notes;
  notes.reserve(10000);
  for (int i = 0; i < 10000; ++i) {
    kx::Dictionary note;
    note.set("id", HexId(r));
    note.set("title", HanText(r, 4, 24));
    note.set("notebook", HanText(r, 2, 6));
    note.set("createTime", 1500000000LL + static_cast<long long>(r.below(200000000)));
    note.set("modifyTime", 1600000000LL + static_cast<long long>(r.below(100000000)));
    note.set("size", static_cast<long long>(r.below(100000)));
    note.set("stick", r.below(30) == 0);
    note.set("summary", HanText(r, 10, 40));
    notes.push_back(Value(std::move(note)));
  }
  return Value::dict({{"total", 10000}, {"notes", Value(std::move(notes))}});
}

Value Numbers() {
  Random r(3);
  kx::Array points;
  for (int i = 0; i < 20000; ++i) {
    points.push_back(Value::array({r.unit() * 2000 - 1000, r.unit() * 2000 - 1000, r.unit()}));
  }
  kx::Array counters;
  for (int i = 0; i < 20000; ++i)
    counters.push_back(Value(static_cast<long long>(r.next() >> (r.below(60)))));
  kx::Array ratios;
  for (int i = 0; i < 10000; ++i)
    ratios.push_back(Value(static_cast<double>(r.below(10000)) / 100));
  return Value::dict({{"points", Value(std::move(points))},
                      {"counters", Value(std::move(counters))},
                      {"ratios", Value(std::move(ratios))}});
}

Value Escaped() {
  Random r(4);
  kx::Array strings;
  for (int i = 0; i < 200; ++i) {
    std::string s;
    while (s.size() < 5000) {
      switch (r.below(6)) {
        case 0: s += "<div class=\"para\" style=\"color:#333\">"; break;
        case 1: s += "\n\t"; break;
        case 2: s += "C:\\notes\\" + std::to_string(r.below(1000)) + "/index.html"; break;
        case 3: s += HanText(r, 2, 8); break;
        case 4: s += "</div>\r\n"; break;
        default: s += "plain words in a sentence, "; break;
      }
    }
    strings.push_back(Value(std::move(s)));
  }
  return Value::dict({{"contents", Value(std::move(strings))}});
}

struct Document {
  const char* name;
  std::string text;
  Value value;
  rapidjson::Document rapid;
  nlohmann::json nlohmann;
};

std::vector<Document>& Documents() {
  static std::vector<Document>* documents = [] {
    auto* docs = new std::vector<Document>();
    struct Source {
      const char* name;
      Value value;
      JKSerializeOptionFlags options;
    };
    // The escaped document is written with \u and \/ escapes so that the
    // parsers must rebuild nearly every string.
    Source sources[] = {
        {"SyncPage", SyncPage(), 0},
        {"Notes", Notes(), 0},
        {"Numbers", Numbers(), 0},
        {"Escaped", Escaped(), JKSerializeOptionUnicodeEscapes | JKSerializeOptionSlashEscapes}};
    docs->reserve(4);
    for (Source& source : sources) {
      Document& d = docs->emplace_back();
      d.name = source.name;
      d.text = JSONStringWithOptions(source.value, source.options, nullptr);
      d.value = objectFromJSONStringWithParseOptions(d.text, JKParseOptionValidFlags);
      d.rapid.Parse<rapidjson::kParseValidateEncodingFlag | rapidjson::kParseFullPrecisionFlag>(
          d.text.data(), d.text.size());
      d.nlohmann = nlohmann::json::parse(d.text);
      if (d.value.isNull() || d.rapid.HasParseError() || d.value != source.value) {
        std::fprintf(stderr, "document %s did not parse\n", d.name);
        std::abort();
      }
    }
    return docs;
  }();
  return *documents;
}

// The codec with every parse option on (comments, Unicode line breaks,
// lenient Unicode, trailing text).
void ParseJSONKitAllOptions(benchmark::State& state, const Document* d) {
  const kx::Bytes bytes(d->text.begin(), d->text.end());
  for (auto _ : state) {
    Value v = objectFromJSONDataWithParseOptions(bytes, JKParseOptionValidFlags);
    benchmark::DoNotOptimize(v);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * d->text.size()));
}

// The codec as the client parses: strict, checking the UTF-8 of every string.
void ParseJSONKitStrict(benchmark::State& state, const Document* d) {
  const kx::Bytes bytes(d->text.begin(), d->text.end());
  for (auto _ : state) {
    Value v = objectFromJSONData(bytes);
    benchmark::DoNotOptimize(v);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * d->text.size()));
}

// Reference only: RapidJSON's default parse checks no UTF-8 and converts
// numbers with its fast, not always correctly rounded, path.
void ParseRapidJSONDefault(benchmark::State& state, const Document* d) {
  for (auto _ : state) {
    rapidjson::Document doc;
    doc.Parse(d->text.data(), d->text.size());
    benchmark::DoNotOptimize(doc);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * d->text.size()));
}

// The baseline of the parse ratios, doing the codec's work: a whole DOM (a
// rapidjson::Document tree, freed in the loop as the codec's tree is) with
// every string's UTF-8 validated (kParseValidateEncodingFlag) and every
// number correctly rounded (kParseFullPrecisionFlag), the flags on every
// document.
void ParseRapidJSONValidating(benchmark::State& state, const Document* d) {
  for (auto _ : state) {
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseValidateEncodingFlag | rapidjson::kParseFullPrecisionFlag>(
        d->text.data(), d->text.size());
    benchmark::DoNotOptimize(doc);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * d->text.size()));
}

void ParseNlohmann(benchmark::State& state, const Document* d) {
  for (auto _ : state) {
    nlohmann::json j = nlohmann::json::parse(d->text);
    benchmark::DoNotOptimize(j);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * d->text.size()));
}

void SerializeJSONKit(benchmark::State& state, const Document* d) {
  std::size_t size = 0;
  for (auto _ : state) {
    kx::Bytes out = JSONData(d->value);
    size = out.size();
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

// Reference only, not like for like: RapidJSON's default writer copies
// strings without checking their UTF-8.
void SerializeRapidJSONDefault(benchmark::State& state, const Document* d) {
  std::size_t size = 0;
  for (auto _ : state) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    d->rapid.Accept(writer);
    size = buffer.GetSize();
    benchmark::DoNotOptimize(buffer);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

// The baseline of the serialize ratios: the DOM written with every string's
// UTF-8 checked (kWriteValidateEncodingFlag), as the codec checks it.
void SerializeRapidJSONValidating(benchmark::State& state, const Document* d) {
  using ValidatingWriter =
      rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>,
                        rapidjson::CrtAllocator, rapidjson::kWriteValidateEncodingFlag>;
  std::size_t size = 0;
  for (auto _ : state) {
    rapidjson::StringBuffer buffer;
    ValidatingWriter writer(buffer);
    if (!d->rapid.Accept(writer)) state.SkipWithError("the validating writer refused the document");
    size = buffer.GetSize();
    benchmark::DoNotOptimize(buffer);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void SerializeNlohmann(benchmark::State& state, const Document* d) {
  std::size_t size = 0;
  for (auto _ : state) {
    std::string out = d->nlohmann.dump();
    size = out.size();
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

const bool kRegistered = [] {
  for (const Document& d : Documents()) {
    const std::string name = d.name;
    auto add = [&](const std::string& benchmark, auto function) {
      benchmark::RegisterBenchmark(benchmark.c_str(), function, &d)->Unit(benchmark::kMicrosecond);
    };
    add("Parse/" + name + "/JSONKit", ParseJSONKitStrict);
    add("Parse/" + name + "/JSONKitAllOptions", ParseJSONKitAllOptions);
    add("Parse/" + name + "/RapidJSONValidating", ParseRapidJSONValidating);
    add("Parse/" + name + "/RapidJSONDefault", ParseRapidJSONDefault);
    add("Parse/" + name + "/nlohmann", ParseNlohmann);
    add("Serialize/" + name + "/JSONKit", SerializeJSONKit);
    add("Serialize/" + name + "/RapidJSONValidating", SerializeRapidJSONValidating);
    add("Serialize/" + name + "/RapidJSONDefault", SerializeRapidJSONDefault);
    add("Serialize/" + name + "/nlohmann", SerializeNlohmann);
  }
  return true;
}();

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args = znbench::WithRepetitions(argc, argv);
  int count = static_cast<int>(args.size()) - 1;
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  znbench::MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  for (const Document& d : Documents()) {
    const std::string name = d.name;
    reporter.printRatio("JSON/Parse/" + name, "Parse/" + name + "/JSONKit",
                        "Parse/" + name + "/RapidJSONValidating", "us");
    reporter.printRatio("JSON/ParseAll/" + name, "Parse/" + name + "/JSONKitAllOptions",
                        "Parse/" + name + "/RapidJSONValidating", "us");
    reporter.printRatio("JSON/Serialize/" + name, "Serialize/" + name + "/JSONKit",
                        "Serialize/" + name + "/RapidJSONValidating", "us");
  }
  return 0;
}
