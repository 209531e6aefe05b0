// Attachment is a kind of Resource: an attachment resource with preview data (isPreviewable,
// previewIconsPath).
//
// Thread safety: as KXManagedObject.
#ifndef ZN_DATA_ATTACHMENT_H_
#define ZN_DATA_ATTACHMENT_H_

#include "Data/entities/Resource.h"

class Attachment : public Resource {
 public:
  Attachment() = default;
};

#endif  // ZN_DATA_ATTACHMENT_H_
