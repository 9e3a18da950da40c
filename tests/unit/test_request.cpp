#include <gtest/gtest.h>

#include <string>

#include "module/kvr_request.h"

namespace {

struct PathInfoCase {
  const char *uri;
  const char *pathInfo;
  const char *named;  // what the path without its path info names
};

TEST(PathInfoCut, LeavesThePartThatNamesWhatRuns) {
  const PathInfoCase cases[] = {
      {"/page.php/x", "/x", "/page.php"},
      {"/echo.php/a/b.png", "/a/b.png", "/echo.php"},
      {"/page.php/", "/", "/page.php"},
      {"/page.php", "", "/page.php"},
      {"/page.php", nullptr, "/page.php"},
      {"/dir/", nullptr, "/dir/"},
      // A path info that does not end the path (a rewritten request), or
      // that is the whole path, leaves the path as it is.
      {"/new.php", "/x", "/new.php"},
      {"/x", "/x", "/x"},
      {"/a/x", "/ax", "/a/x"},
      {"", "/x", ""},
  };
  for (const PathInfoCase &c : cases) {
    const size_t cut = kvrPathInfoCut(c.uri, c.pathInfo);
    EXPECT_EQ(std::string(c.named), std::string(c.uri, cut)) << c.uri;
  }
  EXPECT_EQ(0u, kvrPathInfoCut(nullptr, "/x"));
}

}  // namespace
