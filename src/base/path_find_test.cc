#include "base/path_find.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/file_system.h"

namespace wavtally {
namespace {

TEST(MatchesPatternTest, StarAndQuestionMarkWithAsciiCaseFolded) {
  EXPECT_TRUE(MatchesPattern(L"*.wav", L"A.WAV"));
  EXPECT_TRUE(MatchesPattern(L"*.wav", L"b.Wav"));
  EXPECT_TRUE(MatchesPattern(L"*.wav", L".wav"));
  EXPECT_TRUE(MatchesPattern(L"a*b*c", L"aXbYbZc"));
  EXPECT_FALSE(MatchesPattern(L"*.wav", L"x.wav.bak"));
  EXPECT_FALSE(MatchesPattern(L"*.wav", L"x.wave"));
  EXPECT_TRUE(MatchesPattern(L"?.mid", L"1.MID"));
  EXPECT_TRUE(MatchesPattern(L"??", L"\u00e9\U0001F3B5"));
  EXPECT_FALSE(MatchesPattern(L"?.mid", L".mid"));
  EXPECT_FALSE(MatchesPattern(L"?.mid", L"12.mid"));
  EXPECT_FALSE(MatchesPattern(L"", L"a"));
  // A star followed by plain characters compares the end of the name.
  EXPECT_TRUE(MatchesPattern(L"*", L""));
  EXPECT_TRUE(MatchesPattern(L"*", L".x"));
  EXPECT_FALSE(MatchesPattern(L"*.wav", L"wav"));
  EXPECT_FALSE(MatchesPattern(L"*.wav", L""));
  EXPECT_TRUE(MatchesPattern(L"*.wav", L"a.wav.WAV"));
  EXPECT_TRUE(MatchesPattern(L"*a?", L"xab"));
  EXPECT_FALSE(MatchesPattern(L"*a?", L"xa"));
}

TEST(MatchesPatternTest, OnlyAsciiLettersFoldCase) {
  EXPECT_TRUE(MatchesPattern(L"\u00e9*", L"\u00e9T"));
  EXPECT_FALSE(MatchesPattern(L"\u00e9*", L"\u00c9t"));
  EXPECT_FALSE(MatchesPattern(L"@[", L"`{"));
}

// A matcher that backtracks over every star would not finish these before
// the suite's time limit (set in CMakeLists.txt) ends the test.
TEST(MatchesPatternTest, ManyStarsDoNotBacktrackWithoutEnd) {
  const CStdStr name(20000, L'a');
  EXPECT_FALSE(MatchesPattern(L"*a*a*a*a*a*a*a*a*b", name));
  EXPECT_TRUE(MatchesPattern(L"*a*a*a*a*a*a*a*a*", name));
}

// Runs each test in a fresh folder under the test temp folder, removed with
// all it holds.
class PathFindTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = testing::TempDir() + "path_find_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
  }
  void MakeFiles(std::initializer_list<std::string> names) {
    for (const std::string& name : names) {
      const int fd = open((root_ + "/" + name).c_str(), O_CREAT | O_WRONLY, 0644);
      ASSERT_GE(fd, 0) << name;
      close(fd);
    }
  }
  CStdStr In(const CStdStr& name) const { return DecodeUtf8(root_) + L"/" + name; }
  std::vector<CStdStr> Find(const CStdStr& pattern, std::string* error = nullptr) {
    PathFind find(DiskFileSystem(), pattern, false);
    std::vector<CStdStr> out;
    while (find.HasNext()) out.push_back(find.Next().GetFullPath());
    EXPECT_EQ(find.Next().GetFullPath(), L"");
    if (error != nullptr) *error = find.Error();
    return out;
  }

  std::string root_;
};

TEST_F(PathFindTest, YieldsMatchesInNameOrder) {
  MakeFiles({"b.wav", "10.wav", "C.WAV", "2.wav", "B.wav", "a.mid", "c.wave", ".hidden"});
  ASSERT_EQ(mkdir((root_ + "/sub.wav").c_str(), 0755), 0);
  std::string error = "unset";
  EXPECT_EQ(Find(In(L"*.wav"), &error),
            (std::vector<CStdStr>{In(L"10.wav"), In(L"2.wav"), In(L"B.wav"), In(L"b.wav"),
                                  In(L"C.WAV"), In(L"sub.wav")}));
  EXPECT_EQ(error, "");
  EXPECT_EQ(Find(In(L"/*.MID")), std::vector<CStdStr>{In(L"a.mid")});
  // Every name, folders and hidden files included, but never "." or "..".
  EXPECT_EQ(Find(In(L"*")).size(), 9u);
}

TEST_F(PathFindTest, NoMatchesOrNoFolderYieldNothing) {
  MakeFiles({"a.txt"});
  std::string error;
  EXPECT_TRUE(Find(In(L"*.wav"), &error).empty());
  EXPECT_EQ(error, "");
  EXPECT_TRUE(Find(In(L"missing/*"), &error).empty());
  EXPECT_EQ(error, "no such file or directory");
  EXPECT_TRUE(Find(In(L"a.txt/*"), &error).empty());
  EXPECT_EQ(error, "not a directory");
}

TEST_F(PathFindTest, BarePatternListsCurrentFolderAsBareNames) {
  MakeFiles({"x.mid", ".mid"});
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(root_.c_str()), 0);
  const std::vector<CStdStr> found = Find(L"?.MID");
  ASSERT_EQ(chdir(previous), 0);
  EXPECT_EQ(found, std::vector<CStdStr>{L"x.mid"});
}

TEST_F(PathFindTest, InvalidUtf8NameRoundTripsToOpenableBytes) {
  MakeFiles({"\xff\xfe.wav"});
  const std::vector<CStdStr> found = Find(In(L"*.WAV"));
  ASSERT_EQ(found.size(), 1u);
  const std::string bytes = EncodeUtf8(found[0]);
  EXPECT_EQ(bytes, root_ + "/\xff\xfe.wav");
  const int fd = open(bytes.c_str(), O_RDONLY);
  EXPECT_GE(fd, 0);
  if (fd >= 0) close(fd);
}

TEST_F(PathFindTest, FindersOverOneListingYieldWhatThePatternFormYields) {
  MakeFiles({"b.wav", "10.wav", "C.WAV", "a.mid", "B.MID", "noext", "x.txt", "\xff.wav"});
  ASSERT_EQ(mkdir((root_ + "/sub").c_str(), 0755), 0);
  const std::shared_ptr<const FolderListing> listing =
      FolderListing::Read(DiskFileSystem(), DecodeUtf8(root_));
  EXPECT_EQ(listing->Error(), "");
  for (const CStdStr pattern : {L"*.wav", L"*.mid", L"*", L"?.*", L"nothing"}) {
    PathFind shared(listing, pattern);
    std::vector<CStdStr> found;
    while (shared.HasNext()) found.push_back(shared.Next().GetFullPath());
    EXPECT_EQ(found, Find(In(pattern))) << EncodeUtf8(pattern);
  }
}

TEST_F(PathFindTest, ListingIsASnapshotAndEveryPatternFormListsAfresh) {
  MakeFiles({"a.wav"});
  const std::shared_ptr<const FolderListing> listing =
      FolderListing::Read(DiskFileSystem(), DecodeUtf8(root_));
  EXPECT_EQ(Find(In(L"*.wav")), std::vector<CStdStr>{In(L"a.wav")});
  MakeFiles({"b.wav"});
  // The pattern form reads the folder each time, so it sees the new file...
  EXPECT_EQ(Find(In(L"*.wav")), (std::vector<CStdStr>{In(L"a.wav"), In(L"b.wav")}));
  // ...and a listing keeps what it read.
  PathFind shared(listing, L"*.wav");
  ASSERT_TRUE(shared.HasNext());
  EXPECT_EQ(shared.Next().GetFullPath(), In(L"a.wav"));
  EXPECT_FALSE(shared.HasNext());
}

TEST_F(PathFindTest, ListingErrorReachesEveryFinder) {
  const std::shared_ptr<const FolderListing> listing =
      FolderListing::Read(DiskFileSystem(), DecodeUtf8(root_ + "/missing"));
  EXPECT_EQ(listing->Error(), "no such file or directory");
  EXPECT_TRUE(listing->Names().empty());
  PathFind find(listing, L"*");
  EXPECT_FALSE(find.HasNext());
  EXPECT_EQ(find.Error(), "no such file or directory");
}

TEST_F(PathFindTest, LinksAreFollowedForFolders) {
  ASSERT_EQ(mkdir((root_ + "/real").c_str(), 0755), 0);
  ASSERT_EQ(symlink("real", (root_ + "/link").c_str()), 0);
  ASSERT_EQ(symlink("gone", (root_ + "/dangling").c_str()), 0);
  MakeFiles({"file"});
  EXPECT_TRUE(Path(In(L"link")).IsDirectory(DiskFileSystem()));
  EXPECT_FALSE(Path(In(L"dangling")).IsDirectory(DiskFileSystem()));
  EXPECT_FALSE(Path(In(L"file")).DirectoryExists(DiskFileSystem()));
  FolderId real, link, parent, dangling{5, 6};
  ASSERT_TRUE(Path(In(L"real")).GetFolderId(DiskFileSystem(), &real));
  ASSERT_TRUE(Path(In(L"link")).GetFolderId(DiskFileSystem(), &link));
  ASSERT_TRUE(Path(DecodeUtf8(root_)).GetFolderId(DiskFileSystem(), &parent));
  EXPECT_EQ(real, link);
  EXPECT_NE(real, parent);
  EXPECT_FALSE(Path(In(L"dangling")).GetFolderId(DiskFileSystem(), &dangling));
  EXPECT_EQ(dangling, (FolderId{5, 6}));
}

}  // namespace
}  // namespace wavtally
