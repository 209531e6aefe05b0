// Resources and publish links of pulled entries, end to end: the pull
// against the test note service (pull, download, resource and share
// endpoints) writing into a real store. Every check reads the store, the
// stored files and the service's record back.
#include "sync/pull/KXResourcePuller.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Data/client/KXEntryReads.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXSyncRecords.h"
#include "Data/entities/Resource.h"
#include "Data/entities/ResourceEntry.h"
#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "support/TestResourceEndpoints.h"
#include "sync/StorePullFixture.h"
#include "sync/cycle/KXConcurrentController.h"
#include "sync/pull/KXObjectPuller.h"

namespace {

using kxtest::Fault;
using kxtest::TestResourceEndpoints;

// A PNG of width × height pixels.
std::string png(int width, int height) {
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
  gdk_pixbuf_fill(pixbuf, 0x3366ccff);
  gchar* buffer = nullptr;
  gsize size = 0;
  const gboolean saved = gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "png", nullptr, nullptr);
  std::string bytes = saved ? std::string(buffer, size) : std::string();
  g_free(buffer);
  g_object_unref(pixbuf);
  return bytes;
}

std::string patterned(std::size_t size, int seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + seed) % 251);
  return bytes;
}

// What the store holds of one resource.
struct StoredResource {
  bool found = false;
  std::int64_t version = 0;
  std::string title;
  std::string mediaType;
  std::string imageSize;
  bool localModified = false;
  std::string file;
  std::string mimeType;
  std::string bytes;
  std::vector<std::string> notes;
};

class KXResourcePullerTest : public kxtest::StorePullFixture {
 protected:
  void SetUp() override {
    StorePullFixture::SetUp();
    resources = std::make_unique<TestResourceEndpoints>(service, *endpoints, nullptr);
  }
  void TearDown() override {
    StorePullFixture::TearDown();
    resources.reset();
  }

  std::optional<std::string> content(const std::string& fileId) {
    return KXFileManager::defaultManauger().originStringContentFileSync(fileId, false);
  }

  StoredResource storedResource(const std::string& id) {
    StoredResource out;
    client_->reads().performSyncReadBlock([&] {
      std::shared_ptr<Resource> r = client_->reads().objectForResourceID(id);
      if (!r) return;
      out.found = true;
      out.version = r->version();
      out.title = r->title();
      out.mediaType = r->meidaType();
      out.imageSize = r->imageSize();
      out.localModified = r->localModified();
      for (const auto& note : r->notes()) out.notes.push_back(note->fileId());
      if (auto entry = r->entry()) {
        out.file = entry->file();
        out.mimeType = entry->mimeType();
      }
    });
    if (!out.file.empty()) {
      kx::ignoreError(kx::FileSystem::Default().readFile(out.file, &out.bytes, nullptr));
    }
    return out;
  }

  // How many of the resources the store holds.
  std::size_t resourceRows(const std::vector<std::string>& ids) {
    std::size_t n = 0;
    for (const std::string& id : ids) n += storedResource(id).found ? 1 : 0;
    return n;
  }

  std::vector<std::string> temporaries() {
    const std::string folder =
        kx::Path::deletingLastPathComponent(KXFileManager::defaultManauger().URLForTempFile());
    std::vector<kx::DirectoryEntry> entries;
    std::vector<std::string> names;
    if (!kx::FileSystem::Default().listDirectory(folder, &entries, nullptr)) return names;
    for (const auto& entry : entries) names.push_back(entry.name);
    return names;
  }

  // A note whose body refers to an image "<p>img" and an attachment
  // "<p>img10" (an id that holds the other), both on the service.
  void noteWithTwoResources(const std::string& note, const std::string& p) {
    endpoints->putNotebook("NB", "ROOT", "Work");
    endpoints->putNote(note, "NB", note + ".note", bodyOf(p));
    resources->putResource(p + "img", {image, 3, "photo.png", "", 1, "alice"});
    resources->putResource(p + "img10",
                           {attachment, 5, "../../etc/passwd\\x.pdf", "application/pdf", 2, ""});
    resources->attachToNote(note, {p + "img", p + "img10"});
  }
  static std::string bodyOf(const std::string& p) {
    return "<p><img src=\"" + p + "img\"/> and <a href=\"" + p + "img10\">report</a> img</p>";
  }

  const std::string image = png(120, 80);
  const std::string attachment = patterned(300000, 5);
  std::unique_ptr<TestResourceEndpoints> resources;
};

TEST_F(KXResourcePullerTest, ANoteIsCompleteOnceItsResourcesAreStored) {
  for (bool reversed : {false, true}) {
    SCOPED_TRACE(reversed ? "batch answered in reverse" : "batch answered in order");
    const std::string note = reversed ? "R2" : "R1";
    const std::string p = reversed ? "y" : "x";
    noteWithTwoResources(note, p);
    resources->setBatchReversed(reversed);
    ASSERT_EQ(cycle(), "success");

    EXPECT_TRUE(client_->records().fetchPullFailed().empty());
    const std::string prefix = "//note.zarvel.com/src/";
    EXPECT_EQ(content(note), "<p><img src=\"" + prefix + p + "img\"/> and <a href=\"" + prefix + p +
                                 "img10\">report</a> img</p>")
        << "every reference, and only references, point at the local service";

    StoredResource img = storedResource(p + "img");
    ASSERT_TRUE(img.found);
    EXPECT_EQ(img.version, 3);
    EXPECT_EQ(img.title, "photo.png");
    EXPECT_EQ(img.mediaType, "image");
    EXPECT_EQ(img.mimeType, "image/png") << "sniffed from the bytes";
    EXPECT_EQ(img.imageSize, "120.000000x80.000000");
    EXPECT_FALSE(img.localModified);
    EXPECT_EQ(img.bytes, image);
    EXPECT_EQ(img.notes, std::vector<std::string>{note});

    StoredResource file = storedResource(p + "img10");
    ASSERT_TRUE(file.found);
    EXPECT_EQ(file.version, 5);
    EXPECT_EQ(file.title, "../../etc/passwd\\x.pdf") << "the service's name is a title";
    EXPECT_EQ(file.mediaType, "attachment");
    EXPECT_EQ(file.mimeType, "application/pdf");
    EXPECT_EQ(file.imageSize, "");
    EXPECT_EQ(file.bytes, attachment);
    const std::string folder =
        KXFileManager::defaultManauger().URLForCurrentUserResourceDirectory();
    EXPECT_EQ(file.file.rfind(folder + "/", 0), 0u) << file.file;
    EXPECT_EQ(file.file.find("/../"), std::string::npos) << file.file;
    EXPECT_EQ(file.file.find("/etc/"), std::string::npos) << "one encoded name: " << file.file;
    EXPECT_TRUE(temporaries().empty()) << testing::PrintToString(temporaries());
  }

  // The note changes on the service; its resources do not: only their
  // metadata is asked for again.
  const std::size_t batches = resources->batchRequests();
  endpoints->putNote("R1", "NB", "R1.note", bodyOf("x") + "<p>more</p>");
  ASSERT_EQ(cycle(), "success");
  EXPECT_EQ(resources->downloadsOf("ximg"), 1);
  EXPECT_EQ(resources->downloadsOf("ximg10"), 1);
  EXPECT_EQ(resources->batchRequests(), batches + 1);
  EXPECT_NE(content("R1").value_or("").find("<p>more</p>"), std::string::npos);
  EXPECT_EQ(storedResource("ximg").bytes, image);
}

TEST_F(KXResourcePullerTest, AResourceThatCannotBeHadKeepsTheNoteOwedUntilTheNextPull) {
  struct Case {
    const char* name;
    std::function<void(TestResourceEndpoints&, kxtest::TestNoteService&, const std::string&)> fault;
  } cases[] = {
      {"an id missing from the batch answer",
       [](TestResourceEndpoints& r, kxtest::TestNoteService&, const std::string& p) {
         r.setBatchLeavesOut(p + "img10");
       }},
      {"a connection dropped inside the bytes",
       [](TestResourceEndpoints&, kxtest::TestNoteService& s, const std::string& p) {
         s.setFault(TestResourceEndpoints::downloadPath(p + "img10"), Fault::truncated());
       }},
      {"both downloads answered 416",
       [](TestResourceEndpoints&, kxtest::TestNoteService& s, const std::string& p) {
         s.setFault(TestResourceEndpoints::downloadPath(p + "img"), Fault::withStatus(416));
         s.setFault(TestResourceEndpoints::downloadPath(p + "img10"), Fault::withStatus(416));
       }},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string note = "F" + std::to_string(++n);
    const std::string p = "f" + std::to_string(n);
    noteWithTwoResources(note, p);
    c.fault(*resources, service, p);
    ASSERT_EQ(cycle(), "success");

    EXPECT_EQ(content(note), std::nullopt) << "never stored with a resource missing";
    EXPECT_EQ(stored()[note]["md5"].stringValue(), "");
    kx::Array recorded = client_->records().fetchPullFailed();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0]["entry"]["id"].stringValue(), note);
    EXPECT_EQ(resourceRows({p + "img", p + "img10"}), 0u)
        << "no resource of a failed pull is stored";
    ASSERT_TRUE(kxtest::pumpMainUntil([&] { return temporaries().empty(); }, 30))
        << testing::PrintToString(temporaries());

    // The service mends; the next cycle fetches the entry it recorded.
    resources->setBatchLeavesOut("");
    service.clearFault(TestResourceEndpoints::downloadPath(p + "img"));
    service.clearFault(TestResourceEndpoints::downloadPath(p + "img10"));
    ASSERT_EQ(cycle(), "success");
    EXPECT_TRUE(client_->records().fetchPullFailed().empty());
    EXPECT_NE(content(note).value_or("").find("//note.zarvel.com/src/" + p + "img10"),
              std::string::npos);
    EXPECT_EQ(storedResource(p + "img10").bytes, attachment);
    EXPECT_EQ(storedResource(p + "img").bytes, image);
  }
}

TEST_F(KXResourcePullerTest, FailingDownloadsReportOnceAndLeaveNoFiles) {
  resources->putResource("a", {patterned(1000, 1), 1, "a.bin", "", 2, ""});
  resources->putResource("b", {patterned(1000, 2), 1, "b.bin", "", 2, ""});
  resources->putResource("c", {patterned(200000, 3), 1, "c.bin", "", 2, ""});
  service.setFault(TestResourceEndpoints::downloadPath("a"), Fault::withStatus(416));
  service.setFault(TestResourceEndpoints::downloadPath("b"), Fault::withStatus(416));
  service.setFault(TestResourceEndpoints::downloadPath("c"), Fault::truncated());
  KXConcurrentController controller(KXConcurrentController::kPullConcurrentLen);
  KXResourcePuller::Services services{client_.get(), service.baseURL(), &controller, nullptr};
  kx::Array idents;
  for (const char* id : {"a", "b", "c"}) {
    idents.push_back(kx::Value::dict({{"resourceId", kx::Value(id)}, {"version", kx::Value(1)}}));
  }
  auto puller = KXResourcePuller::pullerWithResourceIdents(idents, services);
  std::atomic<int> calls{0};
  std::atomic<bool> failed{false};
  puller->pullWithCallback([&](const kx::Value&, const kx::Error& error) {
    failed = static_cast<bool>(error);
    ++calls;
  });
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return calls.load() > 0; }, 30));
  ASSERT_TRUE(service.waitForInFlight(0, 30));
  controller.clearEnvironment();
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return temporaries().empty(); }, 30))
      << testing::PrintToString(temporaries());
  EXPECT_EQ(calls.load(), 1);
  EXPECT_TRUE(failed.load());
  EXPECT_EQ(resourceRows({"a", "b", "c"}), 0u);
}

TEST_F(KXResourcePullerTest, ACancelledPullWritesNothing) {
  noteWithTwoResources("R", "");
  service.setFault(TestResourceEndpoints::downloadPath("img10"), Fault::held());
  std::shared_ptr<KXSyncPullProxy> proxy = startCycle();
  ASSERT_TRUE(service.waitForRequests(TestResourceEndpoints::downloadPath("img10"), 1, 30));
  proxy->clearEnvironment();  // as cancellation or sign-out does
  service.releaseHeld();
  ASSERT_TRUE(service.waitForInFlight(0, 30));
  ASSERT_TRUE(kxtest::pumpMainUntil([&] { return temporaries().empty(); }, 30))
      << testing::PrintToString(temporaries());
  data_->performSyncWriteBlock([](KXManagedObjectContext&) {});
  EXPECT_EQ(resourceRows({"img", "img10"}), 0u);
  EXPECT_EQ(content("R"), std::nullopt);
  EXPECT_EQ(log.count("success"), 0u);
}

TEST_F(KXResourcePullerTest, AConflictCopyHoldsResourcesOfItsOwn) {
  noteWithTwoResources("C", "c");
  ASSERT_EQ(cycle(), "success");
  editLocally("C", {{"localModified", kx::Value(1)},
                    {"contentChanged", kx::Value(true)},
                    {"checksum", kx::Value("local-sum")}});
  ASSERT_TRUE(KXFileManager::defaultManauger().writeContentFileSync(
      kx::ByteView(std::string("my local text")), "C"));
  endpoints->putNote("C", "NB", "C.note", bodyOf("c") + "<p>remote</p>");

  ASSERT_EQ(cycle(), "success");
  EXPECT_TRUE(client_->records().fetchPullFailed().empty());
  EXPECT_EQ(content("C"), "my local text");
  std::string copyId;
  for (const auto& [id, row] : stored()) {
    if (id != "C" && row["title"].stringValue().rfind("C(", 0) == 0) copyId = id;
  }
  ASSERT_FALSE(copyId.empty());
  const std::string text = content(copyId).value_or("");
  EXPECT_NE(text.find("<p>remote</p>"), std::string::npos);
  EXPECT_EQ(text.find("\"cimg"), std::string::npos) << text;
  EXPECT_EQ(text.find("/src/cimg"), std::string::npos) << "not the service's ids: " << text;
  // The copy's references name its own resources, copies of the bytes.
  const std::string prefix = "//note.zarvel.com/src/";
  std::vector<std::string> ids;
  for (std::size_t at = text.find(prefix); at != std::string::npos;
       at = text.find(prefix, at + 1)) {
    const std::size_t begin = at + prefix.size();
    ids.push_back(text.substr(begin, text.find('"', begin) - begin));
  }
  ASSERT_EQ(ids.size(), 2u) << text;
  std::vector<std::string> bytes;
  for (const std::string& id : ids) {
    SCOPED_TRACE(id);
    StoredResource r = storedResource(id);
    ASSERT_TRUE(r.found);
    EXPECT_TRUE(r.localModified) << "the next push uploads them";
    EXPECT_EQ(r.notes, std::vector<std::string>{copyId});
    bytes.push_back(r.bytes);
  }
  EXPECT_EQ(bytes, (std::vector<std::string>{image, attachment}));
  EXPECT_EQ(storedResource("cimg").notes, std::vector<std::string>{"C"});
}

TEST(KXResourcePullerRules, RequestsAndReferences) {
  kx::Array idents{kx::Value::dict({{"resourceId", kx::Value("r1")}, {"version", kx::Value(3)}}),
                   kx::Value::dict({{"resourceId", kx::Value("r2")}, {"version", kx::Value(5)}})};
  EXPECT_EQ(KXResourcePuller::idVersions(idents), "r1:3;r2:5");

  struct IdCase {
    std::string id;
    bool usable;
  } ids[] = {{"0a9F-_x.y", true},  {"", false},     {".", false},   {"..", false},
             {"a/b", false},       {"a%2F", false}, {"a b", false}, {std::string("a\0b", 3), false},
             {"a?method=x", false}};
  for (const IdCase& c : ids) {
    EXPECT_EQ(KXResourcePuller::isUsableResourceId(c.id), c.usable) << c.id;
  }

  // A conflict copy's text points at the copy's own resources.
  kx::Dictionary infos{
      {"r1", kx::Value::dict({{"resourceID", kx::Value("n1")}})},
      {"r10", kx::Value::dict({{"resourceID", kx::Value("n10")}})},
  };
  const std::string prefix = "//h/src/";
  EXPECT_EQ(
      KXObjectPuller::referencesRewritten("<img src=\"r1\"/><a href=\"r10\"/>", infos, prefix),
      "<img src=\"//h/src/n1\"/><a href=\"//h/src/n10\"/>");
  // Already local references stay as they are.
  kx::Dictionary same{{"r1", kx::Value::dict({{"resourceID", kx::Value("r1")}})}};
  EXPECT_EQ(KXObjectPuller::referencesRewritten("<img src=\"//h/src/r1\"/>", same, prefix),
            "<img src=\"//h/src/r1\"/>");
  EXPECT_EQ(KXObjectPuller::resourceSourcePrefix("https://note.zarvel.com"),
            "//note.zarvel.com/src/");
}

TEST_F(KXResourcePullerTest, APublishLinkIsFetchedForASharedEntryAndKeptAcrossRemoteEdits) {
  const std::string link = "https://note.zarvel.com/p/abc";
  endpoints->putNotebook("NB", "ROOT", "Work");
  endpoints->putNote("S", "NB", "shared.note", "<p>one</p>");
  endpoints->putEntry("S", {{"shared", kx::Value(true)}});
  resources->setPublishLink("S", link);
  auto shareUrl = [&]() -> std::optional<std::string> {
    std::optional<std::string> url;
    client_->reads().performSyncReadBlock([&] {
      if (KXFileMetaPtr entry = client_->reads().objectForFileMetaID("S")) url = entry->shareUrl();
    });
    return url;
  };
  ASSERT_EQ(cycle(), "success");
  EXPECT_EQ(shareUrl(), link);
  EXPECT_EQ(content("S"), "<p>one</p>");
  EXPECT_EQ(resources->shareRequests(), 1u);

  // Edited on the service: the body comes again, the link stays.
  endpoints->putNote("S", "NB", "shared.note", "<p>two</p>");
  ASSERT_EQ(cycle(), "success");
  EXPECT_EQ(content("S"), "<p>two</p>");
  EXPECT_EQ(shareUrl(), link);
  EXPECT_TRUE(client_->records().fetchPullFailed().empty());

  // A link the service does not give fails the entry, which is tried again.
  endpoints->putNote("T", "NB", "other.note", "<p>t</p>");
  endpoints->putEntry("T", {{"shared", kx::Value(true)}});
  ASSERT_EQ(cycle(), "success");
  kx::Array recorded = client_->records().fetchPullFailed();
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded[0]["entry"]["id"].stringValue(), "T");
  resources->setPublishLink("T", link + "t");
  ASSERT_EQ(cycle(), "success");
  EXPECT_TRUE(client_->records().fetchPullFailed().empty());
}

}  // namespace
