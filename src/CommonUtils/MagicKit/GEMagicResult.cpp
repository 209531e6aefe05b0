#include "CommonUtils/MagicKit/GEMagicResult.h"

GEMagicResult::GEMagicResult(std::string mimeType, std::string description,
                             std::vector<std::string> typeHierarchy)
    : mimeType_(std::move(mimeType)),
      description_(std::move(description)),
      uniformTypeHierarchy_(std::move(typeHierarchy)) {}

std::string GEMagicResult::uniformType() const {
  return uniformTypeHierarchy_.empty() ? std::string() : uniformTypeHierarchy_.front();
}
