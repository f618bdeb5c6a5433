// Form files on disk: reading refuses what is not a regular file, and replacing a file never
// leaves it half-written, keeps its permissions, owner and links, and cleans up after a failure.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "host/form_file.h"
#include "tests/host/form_text.h"
#include "tests/support/temp_dir.h"

namespace varnel::testing {
namespace {

namespace fs = std::filesystem;

TEST(FormFileTest, ReadTakesRegularFilesUpToOneByteOverTheLimit) {
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    const std::pair<fs::path, std::string> refused[] = {
        {dir / "absent.json", "No such file or directory"},
        {dir.Path(), "not a regular file"},
        {dir / "fifo", "not a regular file"},  // and no hang
    };
    for (const auto& [path, fragment] : refused) {
        const fs::path& file = path;  // a lambda may not capture a structured binding in clang 14
        const std::string what = FormErrorOf([&] { host::ReadFormFile(file, 100); }).what();
        EXPECT_EQ(what, "cannot read form file " + host::Quoted(file.string()) + ": " + fragment);
    }
    WriteText(dir / "form.json", "0123456789");
    EXPECT_EQ(host::ReadFormFile(dir / "form.json", 10), "0123456789");
    EXPECT_EQ(host::ReadFormFile(dir / "form.json", 4), "01234");
}

TEST(FormFileTest, WriteReplacesTheFileWholeAndKeepsItsPermissionsAndLinks) {
    // {file, a symbolic link to it written through instead when set}. The longest name a file
    // may have leaves no room for a temporary name built from it.
    const std::pair<std::string, std::string> cases[] = {
        {"form.json", ""}, {std::string(250, 'f') + ".json", ""}, {"form.json", "link.json"}};
    for (const auto& [name, link] : cases) {
        SCOPED_TRACE(name.substr(0, 20) + " " + link);
        TempDir dir;
        const auto file = dir / name;
        WriteText(file, std::string(5000, 'x'));  // longer than the new content
        ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
        if (!link.empty()) fs::create_symlink(name, dir / link);
        host::WriteFileAtomically(link.empty() ? file : dir / link, "new");
        EXPECT_EQ(ReadText(file), "new");
        EXPECT_EQ(fs::status(file).permissions(), fs::perms(0640));
        EXPECT_EQ(fs::is_symlink(dir / link), !link.empty());
        EXPECT_EQ(dir.Names(),
                  (link.empty() ? std::set<std::string>{name} : std::set<std::string>{name, link}));
    }
}

TEST(FormFileTest, WriteKeepsTheOwnerAndGroupItMaySet) {
    // The superuser may give the file to anyone; others may give it a group they belong to.
    uid_t uid = ::geteuid();
    gid_t gid = 65534;
    if (uid == 0) {
        uid = 65534;
    } else {
        std::vector<gid_t> groups(static_cast<std::size_t>(::getgroups(0, nullptr)));
        groups.resize(
            static_cast<std::size_t>(::getgroups(static_cast<int>(groups.size()), groups.data())));
        const auto other =
            std::find_if(groups.begin(), groups.end(), [](gid_t g) { return g != ::getegid(); });
        if (other == groups.end()) GTEST_SKIP() << "no second group to give the file";
        gid = *other;
    }
    TempDir dir;
    const auto file = dir / "form.json";
    WriteText(file, "old");
    ASSERT_EQ(::chown(file.c_str(), uid, gid), 0);
    host::WriteFileAtomically(file, "new");
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(std::make_pair(st.st_uid, st.st_gid), std::make_pair(uid, gid));
    EXPECT_EQ(ReadText(file), "new");
}

TEST(FormFileTest, AFailedWriteLeavesTheOldFileAndNoTemporaryFile) {
    TempDir dir;
    fs::create_directory(dir / "sub");
    WriteText(dir / "sub" / "keep", "kept");
    auto refused = [&](const fs::path& target) {
        const std::string what =
            FormErrorOf([&] { host::WriteFileAtomically(target, "new"); }).what();
        EXPECT_EQ(what.rfind("cannot write form file " + host::Quoted(target.string()), 0), 0u)
            << what;
        EXPECT_EQ(dir.Names(), std::set<std::string>{"sub"});
        EXPECT_EQ(ReadText(dir / "sub" / "keep"), "kept");
    };
    refused(dir / "sub");  // a directory: the final rename fails after the content was written
    refused(dir / "missing" / "form.json");
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
    ASSERT_EQ(::chmod((dir / "sub").c_str(), 0500), 0);
    refused(dir / "sub" / "keep");
}

}  // namespace
}  // namespace varnel::testing
