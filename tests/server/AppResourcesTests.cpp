#include <gtest/gtest.h>

#include "TavelinServer/AppResources.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavelin {
namespace {

using AppResources::clientDirectory;

TEST(AppResources, FindsTheInstalledThenTheBuildTreeThenTheWorkingDirectoryClient) {
  testing::TemporaryDirectory dir;
  const auto tree = dir / "src";
  const auto executable = tree / "build" / "dev" / "TavelinHost" / "tavelin-host";
  std::filesystem::create_directories(executable.parent_path());
  const auto working = dir / "elsewhere";

  EXPECT_EQ(clientDirectory(executable, working), working / "client");

  // A build tree: client/ three levels above the executable.
  std::filesystem::create_directories(tree / "client");
  EXPECT_EQ(clientDirectory(executable, working), working / "client");  // no index.html yet
  testing::writeText(tree / "client" / "index.html", "");
  EXPECT_EQ(clientDirectory(executable, working), tree / "client");

  // Too far up: the search stops after six directories.
  const auto deep = tree / "a" / "b" / "c" / "d" / "e" / "f" / "tavelin-host";
  std::filesystem::create_directories(deep.parent_path());
  EXPECT_EQ(clientDirectory(deep, working), working / "client");

  // An installed layout wins over everything.
  const auto prefix = dir / "usr";
  std::filesystem::create_directories(prefix / "bin");
  std::filesystem::create_directories(prefix / "share" / "tavelin" / "client");
  testing::writeText(prefix / "share" / "tavelin" / "client" / "index.html", "");
  std::filesystem::create_directories(prefix / "bin" / "client");
  testing::writeText(prefix / "bin" / "client" / "index.html", "");
  EXPECT_EQ(clientDirectory(prefix / "bin" / "tavelin-host", working),
            prefix / "share" / "tavelin" / "client");
}

}  // namespace
}  // namespace tavelin
