#include "fileregistry/file/path_walk.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>

#include "tests/test_support.h"

namespace fileregistry {
namespace {

// A folder laid out (see MakeLayout; an owner given needs root), a path
// walked in it and what comes of it: the place reached, as "PATH", "PATH via
// link" (the store's own name a link), "PATH missing FOLDER" or "PATH file
// FOLDER" (a folder on the way missing, or a file in its place); or the
// refusal said. '#' stands for the folder.
struct Walk {
  const char* name;
  const char* layout;
  const char* path;
  bool make_folders;
  long status;
  const char* outcome;
};

void PrintTo(const Walk& walk, std::ostream* os) { *os << walk.name; }

const Walk kWalks[] = {
    {"Store", "a/ a/s=", "#/a/s", false, 0, "#/a/s"},
    {"StoreNotThere", "a/", "#/a/s", false, 0, "#/a/s"},
    {"FromTheWorkingFolder", "", "s", false, 0, "./s"},
    {"DotsAndSlashes", "a/ b/", "#/./a//../b/s", false, 0, "#/a/../b/s"},
    {"FolderMissing", "", "#/a/b/s", false, 0, "#/a/b/s missing #/a"},
    {"FoldersMade", "a/", "#/a/b/c/s", true, 0, "#/a/b/c/s"},
    {"FileOnTheWay", "f", "#/f/b/s", false, 0, "#/f/b/s file #/f"},
    {"FileOnTheWayOfFoldersToMake", "f", "#/f/b/s", true, 3,
     "#/f/b: cannot make the folder: Not a directory (rc 3)"},
    {"OwnLinkOnTheWay", "real/ l->real", "#/l/s", false, 0, "#/real/s"},
    {"OwnLinkOnTheWayFromTheRoot", "real/ l->#/real", "#/l/s", false, 0, "#/real/s"},
    {"OwnLinkToAFileOnTheWay", "f l->f", "#/l/s", false, 0, "#/f/s file #/f"},
    {"OwnLinkAsTheStore", "real s->real", "#/s", false, 0, "#/real via link"},
    // Through a link no folder is made: it may lead anywhere.
    {"DanglingLinkAsTheStore", "s->a/b", "#/s", true, 0, "#/a/b via link missing #/a"},
    {"AnotherUsersLinkOnTheWay", "real/ l->real::65534", "#/l/s", false, 5,
     "#/l: a symlink of another user (rc 5)"},
    {"AnotherUsersLinkAsTheStore", "real s->real::65534", "#/s", false, 5,
     "#/s: a symlink of another user (rc 5)"},
    {"AnotherUsersLinkBehindOwnLink", "real/ o->real::65534 l->o", "#/l/s", false, 5,
     "#/o: a symlink of another user (rc 5)"},
    {"LinkLoop", "s->s", "#/s", false, 1921, "#/s: Too many levels of symbolic links (rc 1921)"},
    {"FolderAsTheStore", "s/", "#/s", false, 5, "#/s: is a folder (rc 5)"},
    {"DotDotAsTheStore", "a/", "#/a/..", false, 5, "#/a/..: is a folder (rc 5)"},
    {"TrailingSlash", "a/", "#/a/", false, 5, "#/a/: names a folder (rc 5)"},
    {"NoPath", "", "", false, 3, ": No such file or directory (rc 3)"},
};

class PathWalk : public ::testing::TestWithParam<Walk> {};

TEST_P(PathWalk, LeadsToThePlaceOrSaysWhyNot) {
  const Walk& walk = GetParam();
  if (std::string(walk.layout).find("::") != std::string::npos && geteuid() != 0) {
    GTEST_SKIP() << "needs root to make files of another user";
  }
  TempDir dir;
  MakeLayout(dir.path(), walk.layout);
  auto at = [&dir](std::string text) {
    for (size_t i; (i = text.find('#')) != std::string::npos;) text.replace(i, 1, dir.path());
    return text;
  };
  std::unique_ptr<char, decltype(&free)> cwd(get_current_dir_name(), &free);
  std::string working = cwd.get();
  ASSERT_EQ(0, chdir(dir.path().c_str()));
  StoreLocation place;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(walk.status, WalkToStore(at(walk.path), walk.make_folders, &place));
  std::string said = ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(0, chdir(working.c_str()));
  if (walk.status != 0) {
    EXPECT_EQ(program_invocation_short_name + (": " + at(walk.outcome)) + "\n", said);
    return;
  }
  EXPECT_EQ("", said);
  std::string missing = place.missing_is_file ? " file " : " missing ";
  EXPECT_EQ(at(walk.outcome), place.path + (place.through_link ? " via link" : "") +
                                  (place.missing.empty() ? "" : missing + place.missing));
  EXPECT_EQ(place.path.substr(place.path.rfind('/') + 1), place.name);
  // The folder reached is the one its path names, or none where missing.
  struct stat reached = {}, named = {};
  std::string folder = at(walk.outcome).substr(0, place.path.rfind('/'));
  EXPECT_EQ(place.missing.empty(), place.folder.valid());
  if (place.folder.valid()) {
    EXPECT_EQ(0, fstat(place.folder.get(), &reached));
    EXPECT_EQ(0, stat((folder[0] == '.' ? dir.path() + folder.substr(1) : folder).c_str(), &named));
    EXPECT_EQ(named.st_ino, reached.st_ino) << folder;
  }
}

INSTANTIATE_TEST_SUITE_P(Walks, PathWalk, ::testing::ValuesIn(kWalks),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace fileregistry
