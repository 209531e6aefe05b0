#include "WebRequest/KXHandlerMethods.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "WebRequest/KXWebFileRequestHandler.h"
#include "WebRequest/KXWebPenNoteHandler.h"
#include "WebRequest/KXWebSyncRequestHandler.h"
#include "WebRequest/KXWebTagRequestHandler.h"

namespace {

// A handler with a table of its own: each method records its name.
class Recorder {
 public:
  struct Call {
    std::vector<std::string> calls;
  };
  using Method = KXHandlerMethod<Recorder, Call>;

  static KXHandlerMethods<Method> methods() {
    static constexpr Method kMethods[] = {
        {"get", &Recorder::get, KXRequestTypeServiceRead},
        {"put", &Recorder::put, KXRequestTypeServiceChange},
        {"alsoPut", &Recorder::put, KXRequestTypeServiceChange},
    };
    return kMethods;
  }

  // Looks `name` up once and runs what it finds; false when not served.
  bool dispatch(std::string_view name, Call& call) {
    const Method* method = methods().find(name);
    if (!method) return false;
    (this->*method->call)(call);
    return true;
  }

 private:
  void get(Call& call) { call.calls.push_back("get"); }
  void put(Call& call) { call.calls.push_back("put"); }
};

TEST(KXHandlerMethodsTest, ALookupRunsTheNamedMethodOnly) {
  Recorder recorder;
  Recorder::Call call;
  EXPECT_TRUE(recorder.dispatch("get", call));
  EXPECT_TRUE(recorder.dispatch("alsoPut", call));
  EXPECT_EQ(call.calls, (std::vector<std::string>{"get", "put"}));
}

TEST(KXHandlerMethodsTest, NamesMatchExactlyAndEmptyNamesAreNeverServed) {
  Recorder recorder;
  Recorder::Call call;
  for (std::string_view name : {"", "GET", "ge", "gett", "get ", "Put"}) {
    EXPECT_FALSE(recorder.dispatch(name, call)) << "\"" << name << "\"";
  }
  EXPECT_TRUE(call.calls.empty());
  EXPECT_EQ(KXHandlerMethods<Recorder::Method>().find("get"), nullptr) << "an empty table";
}

TEST(KXHandlerMethodsTest, TheTableSaysWhichMethodsChangeTheStore) {
  const KXHandlerMethods<Recorder::Method> methods = Recorder::methods();
  EXPECT_FALSE(methods.changesData("get"));
  EXPECT_TRUE(methods.changesData("put"));
  EXPECT_TRUE(methods.changesData("alsoPut"));
  EXPECT_FALSE(methods.changesData("missing"));
  EXPECT_EQ(methods.all().size(), 3u);
}

// What each handler's methods do to the store. A method that changes the
// store and is listed as a read would not be saved and synced after.
struct EffectCase {
  const char* handler;
  KXRequestType (*effectOf)(std::string_view method);
  const char* method;
  KXRequestType effect;
};

TEST(KXHandlerMethodsTest, EachHandlersMethodsHaveTheirEffect) {
  constexpr KXRequestType kRead = KXRequestTypeServiceRead;
  constexpr KXRequestType kChange = KXRequestTypeServiceChange;
  constexpr KXRequestType kNone = KXRequestTypeNotTaken;
  auto* const file = &KXWebFileRequestHandler::methodEffect;
  auto* const tag = &KXWebTagRequestHandler::methodEffect;
  auto* const sync = &KXWebSyncRequestHandler::methodEffect;
  auto* const pen = &KXWebPenNoteHandler::methodEffect;
  const EffectCase cases[] = {
      {"file", file, "thm", kRead},
      {"file", file, "getById", kRead},
      {"file", file, "listPageByParentPath", kRead},
      {"file", file, "listRecent", kRead},
      {"file", file, "read", kRead},
      {"file", file, "list", kRead},
      {"file", file, "get", kRead},
      {"file", file, "push", kNone},
      {"file", file, "", kNone},
      {"tag", tag, "list", kRead},
      {"tag", tag, "get", kRead},
      {"tag", tag, "update", kChange},
      {"tag", tag, "remove", kChange},
      {"tag", tag, "delete", kNone},
      {"sync", sync, "push", kChange},
      {"sync", sync, "setstick", kChange},
      {"sync", sync, "copy", kChange},
      {"sync", sync, "delete", kChange},
      {"sync", sync, "erase", kChange},
      {"sync", sync, "recover", kChange},
      {"sync", sync, "putResource", kChange},
      {"sync", sync, "download", kRead},
      {"sync", sync, "upload", kNone},
      {"pen", pen, "pull", kRead},
      {"pen", pen, "latestPages", kRead},
      {"pen", pen, "push", kNone},
  };
  for (const EffectCase& c : cases) {
    EXPECT_EQ(c.effectOf(c.method), c.effect) << c.handler << " \"" << c.method << "\"";
  }
}

}  // namespace
