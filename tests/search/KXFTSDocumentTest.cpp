#include "search/KXFTSDocument.h"

#include <gtest/gtest.h>

namespace {

TEST(KXFTSDocumentTest, ContentReadsNonBreakingSpaceEntitiesAsBlanksWithoutChangingTheText) {
  KXFTSDocument document("ABC123", "a&nbsp;&nbsp;b &nbsp");
  EXPECT_EQ(document.fieldID(), "ABC123");
  EXPECT_EQ(document.fieldContent(), std::optional<std::string>("a  b &nbsp"));
  EXPECT_EQ(document.docContent(), "a&nbsp;&nbsp;b &nbsp");
  EXPECT_EQ(document.fieldCount(), 1);

  // Only the content is offered.
  EXPECT_EQ(document.fieldTitle(), std::nullopt);
  EXPECT_EQ(document.fieldAuthor(), std::nullopt);
  EXPECT_EQ(document.fieldSource(), std::nullopt);
  EXPECT_EQ(document.fieldAttachment(), std::nullopt);

  document.setDocContent(std::string(2000, 'x'));
  document.setDocID("NEW");
  EXPECT_EQ(document.fieldCount(), 1);
  EXPECT_EQ(document.fieldID(), "NEW");
  EXPECT_EQ(document.fieldContent()->size(), 2000u);
}

}  // namespace
