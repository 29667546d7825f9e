// Where the stand-in keeps the lock files of named mutexes (native build only).
#include "platform/handle_ptr.h"
#include "platform/win.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace {

using platform::UniqueHandle;

class MutexDir {
public:
    explicit MutexDir(const std::string& path) { ::setenv("MOVRA_MUTEX_DIR", path.c_str(), 1); }
    ~MutexDir() { ::unsetenv("MOVRA_MUTEX_DIR"); }
    MutexDir(const MutexDir&) = delete;
    MutexDir& operator=(const MutexDir&) = delete;
};

TEST(NamedMutexStandIn, LockFilesLiveInMovraMutexDirWhileTheNameIsOpen) {
    movra::test::TempDir dir;
    MutexDir setting(dir.path());
    UniqueHandle first(CreateMutexA(nullptr, FALSE, "Movra/Test name"));
    ASSERT_TRUE(first);
    UniqueHandle second(CreateMutexA(nullptr, FALSE, "Movra/Test name"));
    ASSERT_TRUE(second);
    // Characters a file name cannot hold are escaped.
    EXPECT_TRUE(std::filesystem::exists(dir.file("movra-mutex-Movra%2FTest%20name.lock")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("movra-mutex-Movra%2FTest%20name.open")));
    first.reset();
    EXPECT_TRUE(std::filesystem::exists(dir.file("movra-mutex-Movra%2FTest%20name.lock")));
    second.reset();
    EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "the last handle takes the files along";
}

TEST(NamedMutexStandIn, AMissingFolderFailsTheCreation) {
    movra::test::TempDir dir;
    MutexDir setting(dir.file("missing"));
    SetLastError(0);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, "MovraTest_Missing"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    UniqueHandle unnamed(CreateMutexA(nullptr, FALSE, nullptr));
    EXPECT_TRUE(unnamed) << "unnamed mutexes need no folder";
}

}  // namespace
