#include "Data/DataUtil/KXNotebookUtil.h"

#include "Data/KXDataClient.h"

KXNotebookUtil& KXNotebookUtil::sharedUtil() {
  static KXNotebookUtil* util = new KXNotebookUtil();
  return *util;
}

std::uint64_t KXNotebookUtil::getSubDirNumOfNotebook(const std::string& fileId) {
  return getSubDirNumOfNotebook(KXDataClient::defaultDataClient(), fileId);
}

std::uint64_t KXNotebookUtil::getSubDirNumOfNotebook(KXDataClient& client,
                                                     const std::string& fileId) {
  std::uint64_t count = 0;
  client.performSyncReadBlock([&] { count = client.getSubNotebookNumOfNotebook(fileId, nullptr); });
  return count;
}
