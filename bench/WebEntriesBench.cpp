// What the web file handler pays to answer a whole folder: the children of
// one notebook listed as rows through the data client's read queue
// (KXEntryReads::rowsForParentId), each built as its entire web file entry
// (KXFileMetaWebUtil::fileDictsFromRows: entry, meta, other properties) and
// the array written as JSON. The listing alone runs
// in the same program as a reference. The ratio's baseline is a program of
// raw SQLite and RapidJSON writing the same JSON text, byte for byte
// (checked once before it is timed); the program ends with
//   RATIO WebEntries/Entire <Entire / Raw>
// from the medians of five interleaved repetitions (BenchRatio.h).
//
//  - WebEntries/Listing: rowsForParentId of "P" (10,000 children in a
//    store of 30,000 entries, BenchListingStore.h);
//  - WebEntries/Entire: the same listing, the entire entries built and
//    written as JSON;
//  - WebEntries/Build: the entries built alone, from a listing made once
//    (copied, untimed, for each build, which takes its rows);
//  - WebEntries/Raw: the baseline (see RawEntries below).
//
// HOME and the XDG folders point at a temporary folder while it runs.
// Run: bench_WebEntries [--benchmark_filter=Entire]
#include <benchmark/benchmark.h>

#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// RapidJSON comes in as a system header (see webentries.cmake).
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "Data/DataUtil/KXFileMetaWebUtil.h"
#include "Data/DataUtil/KXNameDict.h"
#include "Data/client/KXDataClient.h"
#include "Data/client/KXEntryReads.h"
#include "Data/entities/FileMeta.h"
#include "Data/entities/Resource.h"
#include "Data/store/KXDataContext.h"
#include "Data/store/KXManagedObjectContext.h"
#include "Data/store/KXModel.h"
#include "Data/store/KXStoreSchema.h"
#include "account/KXSession.h"

#include "BenchHome.h"
#include "BenchListingStore.h"
#include "BenchRatio.h"
#include "RawSqliteRow.h"

namespace {

std::unique_ptr<znbench::ClientFixture> gListing;

znbench::ClientFixture& Listing() {
  if (!gListing) {
    gListing = znbench::MakeListingStore();
    // The client brings the store's data version up to date on its write
    // queue when it opens; let that finish (and its save reach the read
    // context) before anything is timed.
    gListing->data->performSyncWriteBlock([](KXManagedObjectContext&) {});
    gListing->data->performSyncReadBlock([](KXManagedObjectContext&) {});
  }
  return *gListing;
}

// As the web file handler builds a folder's entries: all at once from the
// listing's rows, so their resources are read together.
kx::Array Entries(KXFileMetaWebUtil& util, std::vector<KXStoredRow> children) {
  return util.fileDictsFromRows(std::move(children), true);
}

void BM_Listing(benchmark::State& state) {
  KXDataClient& client = *Listing().client;
  std::size_t n = 0;
  for (auto _ : state) {
    std::vector<KXStoredRow> children = client.reads().rowsForParentId("P");
    n = children.size();
    benchmark::DoNotOptimize(children.data());
  }
  if (n != znbench::kListingChildren) state.SkipWithError("wrong number of children");
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}
BENCHMARK(BM_Listing)->Name("WebEntries/Listing")->Unit(benchmark::kMillisecond);

void BM_Entire(benchmark::State& state) {
  KXDataClient& client = *Listing().client;
  KXFileMetaWebUtil util(client);
  std::size_t n = 0;
  std::size_t bytes = 0;
  for (auto _ : state) {
    kx::Array entries = Entries(util, client.reads().rowsForParentId("P"));
    n = entries.size();
    bytes = JSONData(entries).size();
    benchmark::DoNotOptimize(bytes);
  }
  if (n != znbench::kListingChildren || bytes == 0) state.SkipWithError("wrong number of entries");
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_Entire)->Name("WebEntries/Entire")->Unit(benchmark::kMillisecond);

void BM_Build(benchmark::State& state) {
  KXDataClient& client = *Listing().client;
  KXFileMetaWebUtil util(client);
  std::vector<KXStoredRow> children = client.reads().rowsForParentId("P");
  std::size_t n = 0;
  for (auto _ : state) {
    // The builder takes its rows; the copy of the listing is not timed.
    state.PauseTiming();
    std::vector<KXStoredRow> rows = children;
    state.ResumeTiming();
    kx::Array entries = Entries(util, std::move(rows));
    n = entries.size();
    benchmark::DoNotOptimize(entries.data());
  }
  if (n != znbench::kListingChildren) state.SkipWithError("wrong number of entries");
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}
BENCHMARK(BM_Build)->Name("WebEntries/Build")->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------
// The baseline: what a program of raw SQLite and RapidJSON does to write the
// same entries. It reads the children's rows with every FileMeta column (as
// the store reads a row, RawSqliteRow.h), their resources with the store's
// own prefetch query, and writes each entry with RapidJSON's validating
// writer, renaming the columns through a table built once (column -> the
// service's name in each namespace). It writes what this listing holds:
// notes with text, integer, time and boolean columns and no resources; the
// thumbnail choice and stored entry properties are left out, and the
// byte-for-byte check before timing fails should the data ever need them.
// ---------------------------------------------------------------------------
struct RawColumn {
  int column;  // in the row of RawFileMetaSelect (after Z_PK and Z_ENT)
  KXAttributeType type;
  std::string entryName, metaName, propsName;  // "" when the namespace has none
};

struct RawEntries {
  sqlite3* db = nullptr;
  sqlite3_stmt* listing = nullptr;
  sqlite3_stmt* resources = nullptr;
  int columns = 0;
  int resourceId = -1, resourceVersion = -1, resourceType = -1;
  std::vector<RawColumn> table;  // in the entity's attribute order
  int namePathColumn = -1;
  std::string userId;

  RawEntries() {
    if (sqlite3_open_v2(Listing().storePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) !=
        SQLITE_OK)
      std::abort();
    const std::string select = RawFileMetaSelect("WHERE parentId = ? ORDER BY Z_PK");
    sqlite3_prepare_v2(db, select.c_str(), -1, &listing, nullptr);
    columns = sqlite3_column_count(listing);
    const KXEntityDescription* note = KXModel::shared().entity("Note");
    const KXRelationshipDescription* rel = note->relationship("resources");
    sqlite3_prepare_v2(db, KXStoreSchema::prefetchRowsSQL(*rel).c_str(), -1, &resources, nullptr);
    for (int c = 0; c < sqlite3_column_count(resources); ++c) {
      const std::string_view name = sqlite3_column_name(resources, c);
      if (name == "fileId") resourceId = c;
      if (name == "version") resourceVersion = c;
      if (name == "meidaType") resourceType = c;
    }
    const kx::Dictionary& names = *KXNameDict::table(true);
    auto nameIn = [&](const char* ns, const std::string& attribute) {
      const kx::Value& name = names[ns][attribute];
      return name.isString() ? name.string() : std::string();
    };
    for (const KXAttributeDescription* a : note->attributes()) {
      RawColumn c{a->column() + 2, a->type(), nameIn(KXNameDict::kEntryNamespace, a->name()),
                  nameIn(KXNameDict::kMetaNamespace, a->name()),
                  nameIn(KXNameDict::kEntryPropsNamespace, a->name())};
      if (a->name() == "namePath") namePathColumn = c.column;
      if (!c.entryName.empty() || !c.metaName.empty() || !c.propsName.empty())
        table.push_back(std::move(c));
    }
    userId = KXSession::defaultSession().currentUser();
  }
  ~RawEntries() {
    sqlite3_finalize(listing);
    sqlite3_finalize(resources);
    sqlite3_close(db);
  }

  using Writer = rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>,
                                   rapidjson::CrtAllocator, rapidjson::kWriteValidateEncodingFlag>;

  static void writeValue(Writer& w, const RawValue& v, KXAttributeType type) {
    switch (type) {
      case KXAttributeType::Boolean: w.Bool(v.intValue() != 0); break;
      case KXAttributeType::Integer:
      case KXAttributeType::Time: w.Int64(v.intValue()); break;
      default: {
        const std::string& text = v.string();
        w.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
      }
    }
  }
  static void writeString(Writer& w, std::string_view text) {
    w.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
  }

  // The listing of "P" as JSON text.
  std::string write() {
    sqlite3_bind_text(listing, 1, "P", 1, SQLITE_STATIC);
    std::vector<std::vector<RawValue>> rows = CopyRawRows(listing, columns);

    struct RawResource {
      std::string id;
      std::int64_t version;
      std::optional<std::int64_t> type;
    };
    std::unordered_map<std::int64_t, std::vector<RawResource>> held;
    std::string keys = "[";
    for (const auto& row : rows) {
      if (keys.size() > 1) keys += ',';
      keys += std::to_string(row[0].intValue());
    }
    keys += ']';
    sqlite3_bind_text(resources, 1, keys.data(), static_cast<int>(keys.size()), SQLITE_TRANSIENT);
    while (sqlite3_step(resources) == SQLITE_ROW) {
      const auto* type =
          reinterpret_cast<const char*>(sqlite3_column_text(resources, resourceType));
      held[sqlite3_column_int64(resources, 0)].push_back(
          {reinterpret_cast<const char*>(sqlite3_column_text(resources, resourceId)),
           sqlite3_column_int64(resources, resourceVersion),
           Resource::resourceTypeFromName(type ? type : "")});
    }
    sqlite3_reset(resources);

    rapidjson::StringBuffer buffer;
    Writer w(buffer);
    w.StartArray();
    for (const auto& row : rows) {
      w.StartObject();
      w.Key("fileEntry");
      w.StartObject();
      bool tags = false;
      for (const RawColumn& c : table) {
        if (c.entryName.empty() || row[c.column].isNull()) continue;
        writeString(w, c.entryName);
        writeValue(w, row[c.column], c.type);
        tags = tags || c.entryName == "tags";
      }
      w.Key("entryProps");
      w.StartObject();
      for (const RawColumn& c : table) {
        if (c.propsName.empty() || row[c.column].isNull()) continue;
        writeString(w, c.propsName);
        writeValue(w, row[c.column], c.type);
      }
      w.EndObject();
      if (!tags) {
        w.Key("tags");
        w.String("");
      }
      w.Key("userId");
      writeString(w, userId);
      w.EndObject();
      w.Key("fileMeta");
      w.StartObject();
      for (const RawColumn& c : table) {
        if (c.metaName.empty() || row[c.column].isNull()) continue;
        writeString(w, c.metaName);
        writeValue(w, row[c.column], c.type);
      }
      w.Key("resources");
      w.StartArray();
      if (auto it = held.find(row[0].intValue()); it != held.end()) {
        for (const RawResource& r : it->second) {
          w.StartObject();
          w.Key("resourceId");
          writeString(w, r.id);
          w.Key("version");
          w.Int64(r.version);
          if (r.type) {
            w.Key("resourceType");
            w.Int64(*r.type);
          }
          w.EndObject();
        }
      }
      w.EndArray();
      w.Key("metaProps");
      w.StartObject();
      w.EndObject();
      w.Key("author");
      w.Null();
      w.Key("sourceURL");
      w.Null();
      w.EndObject();
      w.Key("otherProp");
      w.StartObject();
      if (namePathColumn >= 0 && !row[namePathColumn].string().empty()) {
        std::string_view path = row[namePathColumn].string();
        while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
        if (path != "/" && path.rfind('/') != std::string_view::npos)
          path.remove_prefix(path.rfind('/') + 1);
        w.Key("pn");
        writeString(w, path);
      }
      w.EndObject();
      w.EndObject();
    }
    w.EndArray();
    return std::string(buffer.GetString(), buffer.GetSize());
  }
};

void BM_Raw(benchmark::State& state) {
  RawEntries raw;
  {
    // Once, before timing: the baseline's text is the client's, byte for byte.
    KXDataClient& client = *Listing().client;
    KXFileMetaWebUtil util(client);
    const kx::Bytes ours = JSONData(Entries(util, client.reads().rowsForParentId("P")));
    const std::string theirs = raw.write();
    if (theirs.size() != ours.size() || std::memcmp(theirs.data(), ours.data(), ours.size()) != 0) {
      std::size_t at = 0;
      while (at < ours.size() && at < theirs.size() && theirs[at] == char(ours[at])) ++at;
      std::fprintf(stderr, "raw entries differ from byte %zu: ...%s\n", at,
                   theirs.substr(at, 80).c_str());
      state.SkipWithError("the baseline's JSON is not the client's");
      return;
    }
  }
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string text = raw.write();
    bytes = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.SetItemsProcessed(state.iterations() *
                          static_cast<std::int64_t>(znbench::kListingChildren));
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_Raw)->Name("WebEntries/Raw")->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args = znbench::WithRepetitions(argc, argv);
  int count = static_cast<int>(args.size()) - 1;
  znbench::MedianReporter reporter;
  return znbench::RunInIsolatedHome(
      count, args.data(), {},
      [&] {
        gListing.reset();
        reporter.printRatio("WebEntries/Entire", "WebEntries/Entire", "WebEntries/Raw", "ms");
      },
      &reporter);
}
