#include "base/path.h"

#include <gtest/gtest.h>

#include <utility>

#include "base/file_system.h"

namespace wavtally {
namespace {

CStdStr Text(const Path& path) { return path.GetFullPath(); }

CStdStr Relative(const CStdStr& path, const CStdStr& base) {
  return Path(path).MakePathRelative(Path(base)).GetFullPath();
}

TEST(PathTest, DropsDoubledAndTrailingSeparatorsOnly) {
  EXPECT_EQ(Text(Path(L"a//b///c/")), L"a/b/c");
  EXPECT_EQ(Text(Path(L"//music/./..//")), L"/music/./..");
  EXPECT_EQ(Text(Path(L"///")), L"/");
  EXPECT_EQ(Text(Path(L"")), L"");
  CStdStr moved = L"a//b/";
  EXPECT_EQ(Text(Path(std::move(moved))), L"a/b");
  EXPECT_EQ(Path::GetNameSeparator(), L"/");
}

TEST(PathTest, JoinPutsOneSeparatorBetweenParts) {
  EXPECT_EQ(Text(Path::Join({L"a", L"b", L"c.wav"})), L"a/b/c.wav");
  EXPECT_EQ(Text(Path::Join({L"a/", L"/b"})), L"a/b");
  EXPECT_EQ(Text(Path::Join({L"/", L"x"})), L"/x");
  EXPECT_EQ(Text(Path::Join({L"", L"x", L"", L"y"})), L"x/y");
}

TEST(PathTest, MakePathRelativeStripsBaseAtNameBoundary) {
  EXPECT_EQ(Relative(L"/music/a/b.wav", L"/music"), L"a/b.wav");
  EXPECT_EQ(Relative(L"/music/a.wav", L"/music/"), L"a.wav");
  EXPECT_EQ(Relative(L"/a/b", L"/"), L"a/b");
  EXPECT_EQ(Relative(L"/music2/a.wav", L"/music"), L"/music2/a.wav");
  EXPECT_EQ(Relative(L"/Music/a.wav", L"/music"), L"/Music/a.wav");
  EXPECT_EQ(Relative(L"/music", L"/music"), L"/music");
  EXPECT_EQ(Relative(L"/", L"/"), L"/");
  EXPECT_EQ(Relative(L"/a/b", L""), L"/a/b");
}

TEST(PathTest, ExtensionIsLastNameFromItsLastDot) {
  EXPECT_EQ(Path(L"a.tar.gz").GetFileExtension(), L".gz");
  EXPECT_EQ(Path(L"dir/.hidden").GetFileExtension(), L".hidden");
  EXPECT_EQ(Path(L"x.").GetFileExtension(), L".");
  EXPECT_EQ(Path(L"noext").GetFileExtension(), L"");
  EXPECT_EQ(Path(L"dir.d/noext").GetFileExtension(), L"");
  EXPECT_EQ(Path(L"dir.d/").GetFileExtension(), L".d");
}

TEST(PathTest, EmptyOrNulPathIsNoFolder) {
  FolderId id{7, 9};
  EXPECT_FALSE(Path().DirectoryExists(DiskFileSystem()));
  EXPECT_FALSE(Path().GetFolderId(DiskFileSystem(), &id));
  EXPECT_EQ(id, (FolderId{7, 9}));
  EXPECT_TRUE(Path(L"/").DirectoryExists(DiskFileSystem()));
  // Cut at the NUL, the text would name "/".
  EXPECT_FALSE(Path(CStdStr(L"/\0tmp", 5)).DirectoryExists(DiskFileSystem()));
}

TEST(PathTest, WindowsRootsKeepTheirSeparators) {
  EXPECT_EQ(WindowsRootLength(L"C:\\"), 3u);
  EXPECT_EQ(WindowsRootLength(L"c:\\Music"), 3u);
  EXPECT_EQ(WindowsRootLength(L"C:Music"), 2u);
  EXPECT_EQ(WindowsRootLength(L"\\\\server\\share\\lib"), 14u);
  EXPECT_EQ(WindowsRootLength(L"\\\\server\\share"), 14u);
  EXPECT_EQ(WindowsRootLength(L"\\\\server"), 8u);
  EXPECT_EQ(WindowsRootLength(L"\\\\"), 2u);
  EXPECT_EQ(WindowsRootLength(L"\\\\?\\C:\\lib"), 7u);
  EXPECT_EQ(WindowsRootLength(L"\\\\?\\UNC\\server\\share"), 7u);
  for (const wchar_t* none : {L"", L"\\", L"\\Music", L"Music", L"1:\\x", L"C"}) {
    EXPECT_EQ(WindowsRootLength(none), 0u) << none;
  }
}

TEST(PathTest, WindowsLongFormsAreTakenLiterallyAtAnyLength) {
  EXPECT_EQ(WindowsLongForm(L"C:\\Music\\sp "), L"\\\\?\\C:\\Music\\sp ");
  EXPECT_EQ(WindowsLongForm(L"\\\\server\\share\\lib"), L"\\\\?\\UNC\\server\\share\\lib");
  for (const wchar_t* kept : {L"\\\\?\\C:\\x", L"\\\\?\\UNC\\s\\t", L"\\\\.\\CON"}) {
    EXPECT_EQ(WindowsLongForm(kept), kept);
  }
  // A name that ends in a dot or space, or is a device's, stays as it is.
  EXPECT_EQ(JoinWindowsLongPath(L"\\\\?\\C:\\", L"CON"), L"\\\\?\\C:\\CON");
  EXPECT_EQ(JoinWindowsLongPath(L"\\\\?\\C:\\lib", L"x .\\y"), L"\\\\?\\C:\\lib\\x .\\y");
}

}  // namespace
}  // namespace wavtally
