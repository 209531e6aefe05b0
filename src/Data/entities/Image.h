// Image is a kind of Resource: an image resource with picture data (colorspace, width, height,
// manufacturer, model).
//
// Thread safety: as KXManagedObject.
#ifndef ZN_DATA_IMAGE_H_
#define ZN_DATA_IMAGE_H_

#include "Data/entities/Resource.h"

class Image : public Resource {
 public:
  Image() = default;
};

#endif  // ZN_DATA_IMAGE_H_
