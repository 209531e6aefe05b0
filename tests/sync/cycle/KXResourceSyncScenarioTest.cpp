// Attachments both ways, end to end: notes with images and a large
// attachment pushed from one store to the test note service and pulled by
// a second store; uploads cut short and resumed; resources that cannot be
// sent. Every check reads the stores, their files and the service back.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <map>
#include <string>
#include <vector>

#include "Data/client/KXEditorSave.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXFileManager.h"
#include "Data/client/KXSyncRecords.h"
#include "Data/entities/Resource.h"
#include "Data/entities/ResourceEntry.h"
#include "platform/FileSystem.h"
#include "support/TestResourceEndpoints.h"
#include "sync/PushFixture.h"
#include "sync/push/KXFileUploader.h"
#include "sync/push/KXResourcePusher.h"

namespace {

using kxtest::TestPushEndpoints;
using kxtest::TestResourceEndpoints;

std::string png(int width, int height, std::uint32_t colour) {
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
  gdk_pixbuf_fill(pixbuf, colour);
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
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed) % 251);
  return bytes;
}

struct ResourceRow {
  bool found = false;
  std::string title;
  std::string mediaType;
  std::int64_t version = 0;
  bool localModified = false;
  std::string remoteSrc;
  std::string bytes;
  std::vector<std::string> notes;
};

class KXResourceSyncScenarioTest : public kxtest::PushFixture {
 protected:
  static constexpr std::size_t kAttachmentSize = 20 * 1024 * 1024;

  void SetUp() override {
    PushFixture::SetUp();
    resources = std::make_unique<TestResourceEndpoints>(service, *endpoints, pushEndpoints.get());
  }
  void TearDown() override {
    PushFixture::TearDown();
    resources.reset();
  }

  // A resource of `noteId` made here, as the editor saves one.
  void localResource(const std::string& noteId, const std::string& id, const std::string& title,
                     const std::string& mediaType, const std::string& mime,
                     const std::string& bytes) {
    kx::Dictionary info{
        {"resourceID", kx::Value(id)},
        {"title", kx::Value(title)},
        {"mediaType", kx::Value(mediaType)},
        {"size", kx::Value(static_cast<long long>(bytes.size()))},
        {"dataHash", kx::Value(KXFileManager::dataHashForResourceData(kx::ByteView(bytes)))},
        {"mimeType", kx::Value(mime)},
        {"noteId", kx::Value(noteId)},
        {"modifiedInLocal", kx::Value(true)},
        {"data", kx::Value(kx::Bytes(bytes.begin(), bytes.end()))},
    };
    std::promise<kx::Error> written;
    client_->editorSave().createOrUpdateResource(
        info, [&](const KXResultInfo&, const kx::Error& error) { written.set_value(error); });
    kx::Error error = written.get_future().get();
    ASSERT_FALSE(error) << error.localizedDescription();
    Write([](KXManagedObjectContext&) {});
  }

  ResourceRow row(const std::string& id) {
    ResourceRow out;
    std::string file;
    client_->reads().performSyncReadBlock([&] {
      std::shared_ptr<Resource> r = client_->reads().objectForResourceID(id);
      if (!r) return;
      out.found = true;
      out.title = r->title();
      out.mediaType = r->meidaType();
      out.version = r->version();
      out.localModified = r->localModified();
      out.remoteSrc = r->stringValue("remoteSrc");
      for (const auto& note : r->notes()) out.notes.push_back(note->fileId());
      if (auto entry = r->entry()) file = entry->file();
    });
    if (!file.empty())
      kx::ignoreError(kx::FileSystem::Default().readFile(file, &out.bytes, nullptr));
    return out;
  }

  // Leaves this store, as on another machine: a new store over empty
  // content and resource folders, pulling from the same service.
  void moveToASecondStore() {
    for (auto& proxy : pushProxies) proxy->clearEnvironment();
    for (auto& proxy : proxies) proxy->clearEnvironment();
    data_->performSyncWriteBlock([](KXManagedObjectContext&) {});
    client_.reset();
    data_.reset();
    KXFileManager& files = KXFileManager::defaultManauger();
    std::error_code ec;
    std::filesystem::remove_all(files.URLForCurrentUserContentDirectory(), ec);
    std::filesystem::remove_all(files.URLForCurrentUserResourceDirectory(), ec);
    env_ = std::make_shared<kxtest::TestStoreEnvironment>(root_.path() + "/second-machine");
    data_ = std::make_shared<KXDataContext>(env_);
    client_ = std::make_unique<KXDataClient>(data_);
    client_->openStore();
    ASSERT_TRUE(kxtest::waitForQueue(data_->dbQueue()));
    env = std::make_shared<kxtest::StorePullEnvironment>(service.baseURL(), client_.get(), &log);
    env->applierToUse = std::make_shared<KXSyncStorePullApplier>(*client_);
  }

  // A note "N" in "NB" with three images and a 20 MB attachment, made here.
  void noteWithAttachments() {
    endpoints->putNotebook("NB", "ROOT", "Work");
    ASSERT_EQ(cycle(), "success");
    const std::string src = "//note.zarvel.com/src/";
    localNote("N", "NB", "travel",
              "<p><img src=\"" + src + "pic1\"/><img src=\"" + src + "pic2\"/><img src=\"" + src +
                  "pic3\"/></p><p><a href=\"" + src + "att\">report.pdf</a></p>");
    for (int i = 1; i <= 3; ++i) {
      images.push_back(png(40 * i, 30 * i, 0x11223300u * static_cast<std::uint32_t>(i) | 0xffu));
      localResource("N", "pic" + std::to_string(i), "pic" + std::to_string(i) + ".png", "image",
                    "image/png", images.back());
    }
    localResource("N", "att", "report.pdf", "attachment", "application/pdf", attachment);
  }

  // The upload requests of a resource's session, by their Content-Range.
  std::vector<kxtest::RecordedRequest> uploadsOf(const std::string& resourceId) {
    for (const kx::Dictionary& params : resources->putResourceParams()) {
      if (params["resourceId"].stringValue() != resourceId) continue;
      return service.requests(std::string(TestPushEndpoints::kUploadPath) + "/" +
                              params["transmitId"].stringValue());
    }
    return {};
  }

  std::unique_ptr<TestResourceEndpoints> resources;
  std::vector<std::string> images;
  const std::string attachment = patterned(kAttachmentSize, 9);
};

TEST_F(KXResourceSyncScenarioTest, ImagesAndALargeAttachmentReachASecondStore) {
  noteWithAttachments();
  // The connection of the attachment's body drops after 5 MB.
  pushEndpoints->cutNextUploadBody(5 * 1024 * 1024);
  ASSERT_EQ(push(), "push success");

  // The service holds every resource whole, and the note refers to them.
  const std::vector<std::string> ids = {"pic1", "pic2", "pic3", "att"};
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(resources->resource(ids[i]).bytes, images[i]);
  EXPECT_TRUE(resources->resource("att").bytes == attachment) << "the attachment arrived whole";
  auto pushes = pushEndpoints->pushesOf("N");
  ASSERT_EQ(pushes.size(), 1u);
  std::vector<std::string> listed;
  {
    const std::string list = pushes[0]["resources"].stringValue();
    std::size_t at = 0;
    while (at <= list.size()) {
      const std::size_t end = std::min(list.find(';', at), list.size());
      listed.push_back(list.substr(at, end - at));
      at = end + 1;
    }
  }
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<std::string>{"att:1", "pic1:1", "pic2:1", "pic3:1"}));
  EXPECT_EQ(pushes[0]["bodyString"].stringValue(),
            "<p><img src=\"pic1\"/><img src=\"pic2\"/><img src=\"pic3\"/></p><p><a "
            "href=\"att\">report.pdf</a></p>");
  // The attachment was sent again only from the byte the service confirmed.
  std::vector<kxtest::RecordedRequest> uploads = uploadsOf("att");
  std::vector<std::string> ranges;
  for (const auto& r : uploads) ranges.push_back(r.header("Content-Range"));
  EXPECT_EQ(ranges, (std::vector<std::string>{"", "bytes */*", "bytes 5242880-20971519/20971520",
                                              "bytes */*"}));
  ASSERT_EQ(uploads.size(), 4u);
  EXPECT_EQ(uploads[2].body.size(), kAttachmentSize - 5 * 1024 * 1024);
  // The registration's parameters.
  for (const kx::Dictionary& params : resources->putResourceParams()) {
    if (params["resourceId"].stringValue() != "att") continue;
    EXPECT_EQ(params["resourceName"].stringValue(), "report.pdf");
    EXPECT_EQ(params["rootVersion"].intValue(), -1);
    EXPECT_EQ(params["resourceMime"].stringValue(), "application/pdf");
    EXPECT_EQ(params["genIcon"].boolValue(), false);
    EXPECT_EQ(params["metaProps"]["restype"].stringValue(), "2");
  }
  // Here, the resources are the service's now.
  for (const std::string& id : ids) {
    SCOPED_TRACE(id);
    ResourceRow r = row(id);
    EXPECT_FALSE(r.localModified);
    EXPECT_EQ(r.remoteSrc, "//note.zarvel.com/src/" + id);
    EXPECT_EQ(r.version, 1);
  }
  EXPECT_EQ(stored()["N"]["localModified"].intValue(), 0);
  std::map<std::string, ResourceRow> first;
  for (const std::string& id : ids) first[id] = row(id);

  // Another machine pulls the note.
  moveToASecondStore();
  ASSERT_EQ(cycle(), "success");
  EXPECT_TRUE(client_->records().fetchPullFailed().empty());
  const std::string src = "//note.zarvel.com/src/";
  EXPECT_EQ(KXFileManager::defaultManauger().originStringContentFileSync("N", false),
            "<p><img src=\"" + src + "pic1\"/><img src=\"" + src + "pic2\"/><img src=\"" + src +
                "pic3\"/></p><p><a href=\"" + src + "att\">report.pdf</a></p>");
  for (const std::string& id : ids) {
    SCOPED_TRACE(id);
    ResourceRow second = row(id);
    ASSERT_TRUE(second.found);
    EXPECT_TRUE(second.bytes == first[id].bytes) << "bytes equal";
    EXPECT_EQ(second.title, first[id].title);
    EXPECT_EQ(second.mediaType, first[id].mediaType);
    EXPECT_EQ(second.version, first[id].version);
    EXPECT_FALSE(second.localModified);
    EXPECT_EQ(second.notes, std::vector<std::string>{"N"});
  }
}

TEST_F(KXResourceSyncScenarioTest, AResourceThatCannotBeSentHoldsBackItsNoteOnly) {
  noteWithAttachments();
  localNote("PLAIN", "NB", "plain", "<p>plain</p>");
  // The attachment's stored file is gone.
  std::string attFile;
  client_->reads().performSyncReadBlock(
      [&] { attFile = client_->reads().objectForResourceID("att")->entry()->file(); });
  ASSERT_TRUE(kx::FileSystem::Default().removeItem(attFile, nullptr));

  EXPECT_NE(push(), "push success");
  EXPECT_TRUE(pushEndpoints->pushesOf("N").empty()) << "the note is not sent without it";
  EXPECT_EQ(pushEndpoints->pushesOf("PLAIN").size(), 1u) << "the other entries go on";
  EXPECT_EQ(stored()["N"]["localModified"].intValue(), 1) << "the note keeps its marks";
  EXPECT_TRUE(row("att").localModified);

  // The file is back, but the service answers the registration without an
  // address: still held back.
  ASSERT_TRUE(kx::FileSystem::Default().writeFile(attFile, attachment, nullptr));
  resources->setPutAnswersWithoutAddress(true);
  EXPECT_NE(push(), "push success");
  EXPECT_TRUE(pushEndpoints->pushesOf("N").empty());
  EXPECT_EQ(stored()["N"]["localModified"].intValue(), 1);

  resources->setPutAnswersWithoutAddress(false);
  ASSERT_EQ(push(), "push success");
  ASSERT_EQ(pushEndpoints->pushesOf("N").size(), 1u);
  EXPECT_TRUE(resources->resource("att").bytes == attachment);
  EXPECT_EQ(stored()["N"]["localModified"].intValue(), 0);
  EXPECT_FALSE(row("att").localModified);
}

TEST(KXResourcePusherRules, OnlyAConfirmedByteResumesAnUpload) {
  struct Case {
    const char* range;
    std::int64_t first;  // -1: done
  } cases[] = {
      {"bytes=0-499", 500}, {"bytes=0-999", -1},
      {"bytes=0-1000", 0},  {"bytes=0-1200", 0},
      {"bytes=0-12abc", 0}, {"bytes=100-499", 0},
      {"bytes=0--5", 0},    {"bytes=0-+499", 0},
      {"bytes=-0-499", 0},  {"bytes=0-99999999999999999999", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KXFileUploader::firstMissingByte(std::string(c.range), 1000), c.first) << c.range;
  }
}

TEST(KXResourcePusherRules, TheRecordOfARegistrationAnswer) {
  kx::HTTPResponseHead head;
  head.status = 200;
  head.headers = {{"url", "https://h/src/r"}, {"src", "//h/src/r"}, {"ROOT-VERSION", "42"}};
  kx::Value record =
      KXResourcePusher::recordFromAnswer(head, kx::Value::dict({{"fileSize", kx::Value(7)}}));
  EXPECT_EQ(record["remoteURL"].stringValue(), "https://h/src/r");
  EXPECT_EQ(record["remoteSrc"].stringValue(), "//h/src/r");
  EXPECT_EQ(record["version"].intValue(), 42);
  EXPECT_EQ(record["fileSize"].intValue(), 7);

  head.headers = {{"src", "//h/src/r"}};
  record = KXResourcePusher::recordFromAnswer(head, kx::Value());
  EXPECT_EQ(record["version"].intValue(), 0);
  EXPECT_EQ(record["fileSize"].intValue(), 0);
  EXPECT_FALSE(record.dict().contains("remoteURL"));

  head.headers = {{"ROOT-VERSION", "3"}};
  EXPECT_TRUE(KXResourcePusher::recordFromAnswer(head, kx::Value()).isNull());
}

}  // namespace
