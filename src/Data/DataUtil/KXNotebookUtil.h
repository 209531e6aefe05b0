// KXNotebookUtil holds the helpers for notebooks that the layers above call.
// So far: the number of notebooks directly under a notebook, for the web
// file entry.
//
// Thread safety: one instance for the process (sharedUtil); every member
// may be called from any thread, the read queue included.
#ifndef ZN_DATA_DATAUTIL_KXNOTEBOOKUTIL_H_
#define ZN_DATA_DATAUTIL_KXNOTEBOOKUTIL_H_

#include <cstdint>
#include <string>

class KXDataClient;

class KXNotebookUtil {
 public:
  static KXNotebookUtil& sharedUtil();

  // The notebooks whose parent is `fileId`, deleted ones included, counted
  // on the read queue of `client` (inline when the caller is there).
  std::uint64_t getSubDirNumOfNotebook(const std::string& fileId);
  static std::uint64_t getSubDirNumOfNotebook(KXDataClient& client, const std::string& fileId);

 private:
  KXNotebookUtil() = default;
};

#endif  // ZN_DATA_DATAUTIL_KXNOTEBOOKUTIL_H_
