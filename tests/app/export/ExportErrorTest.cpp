#include <gtest/gtest.h>

#include "app/export/ExportError.h"

namespace fw {
namespace {

TEST(ExportErrorTexts, EachKindHasItsText) {
    EXPECT_EQ(ExportError::invalid("Choose at least one image.").errorDescription(),
              "Choose at least one image.");
    EXPECT_EQ(ExportError::busy().errorDescription(),
              "A movie export is in progress, or the movie window has an open sheet or "
              "uncommitted edit.");
    EXPECT_EQ(ExportError::unknownJob().errorDescription(),
              "That export job is no longer available.");
    EXPECT_EQ(ExportError::cancelled().errorDescription(), "The movie export was cancelled.");
    EXPECT_EQ(ExportError::invalid("x").kind(), ExportError::Kind::invalid);
    EXPECT_NE(ExportError::invalid("x"), ExportError::invalid("y"));
}

}  // namespace
}  // namespace fw
