// GEMagicResult is what the file-type sniffer says about some bytes: the MIME
// answer of libmagic as it stands (for example "text/plain; charset=us-ascii"),
// libmagic's human-readable description, and the uniform type identifiers the
// MIME type maps to, most specific first.
//
// Thread safety: a plain value.
#ifndef ZN_COMMONUTILS_MAGICKIT_GEMAGICRESULT_H_
#define ZN_COMMONUTILS_MAGICKIT_GEMAGICRESULT_H_

#include <string>
#include <vector>

class GEMagicResult {
 public:
  GEMagicResult(std::string mimeType, std::string description,
                std::vector<std::string> typeHierarchy);

  const std::string& mimeType() const { return mimeType_; }
  const std::string& description() const { return description_; }
  const std::vector<std::string>& uniformTypeHierarchy() const { return uniformTypeHierarchy_; }
  // The first identifier of the hierarchy; "" when the MIME type is unknown.
  std::string uniformType() const;

 private:
  std::string mimeType_;
  std::string description_;
  std::vector<std::string> uniformTypeHierarchy_;
};

#endif  // ZN_COMMONUTILS_MAGICKIT_GEMAGICRESULT_H_
