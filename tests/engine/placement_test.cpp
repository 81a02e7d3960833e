#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <future>
#include <tuple>

#include "engine_test_support.h"
#include "unix_links.h"
#include "file_removal.h"
#include "placement.h"
#include "operations_fixture.h"
#include "sandbox.h"

using namespace engine_tests;
using testing_support::temp_folder;

namespace {

std::vector<std::wstring> names_in(const fs::path& folder) {
    std::vector<std::wstring> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; it != end; ++it) names.push_back(it->path().filename().wstring());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(WriteFileReplacing, CreatesAndReplacesByDirectMoveLeavingNothingBeside) {
    temp_folder folder(L"place");
    const fs::path target = folder.path() / L"a" / L"b" / L"VantrelCompanionBeta.exe";
    std::string error = "untouched";
    ASSERT_TRUE(write_file_replacing(target, byte_vector("first"), error));
    EXPECT_EQ(error, "untouched");
    EXPECT_EQ(read_bytes(target), "first");
    ASSERT_TRUE(write_file_replacing(target, byte_vector("second, longer"), error));
    EXPECT_EQ(read_bytes(target), "second, longer");
    ASSERT_TRUE(write_file_replacing(target, {}, error));
    std::error_code ec;
    EXPECT_TRUE(fs::is_regular_file(target, ec));
    EXPECT_EQ(fs::file_size(target, ec), 0u);
    EXPECT_EQ(names_in(target.parent_path()), std::vector<std::wstring>{L"VantrelCompanionBeta.exe"});
}

TEST(WriteFileReplacing, UnwritableFolderAndRelativeTargetAreRefusedNamingTheFolder) {
    temp_folder folder(L"place");
    write_bytes(folder.path() / L"blocker", "a file where a folder should be");
    const fs::path target = folder.path() / L"blocker" / L"SETUP.md";
    std::string error;
    EXPECT_FALSE(write_file_replacing(target, byte_vector("x"), error));
    EXPECT_EQ(error, "Could not write to " + wide_to_utf8(target.parent_path().wstring()) + ".");
    EXPECT_EQ(read_bytes(folder.path() / L"blocker"), "a file where a folder should be");

    // A target built on a folder that could not be found must not land in the current folder.
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    SetCurrentDirectoryW(folder.path().c_str());
    error.clear();
    EXPECT_FALSE(write_file_replacing(fs::path(L"Blackmagic Design") / L"Vantrel Beta.py", byte_vector("x"), error));
    SetCurrentDirectoryW(saved);
    EXPECT_EQ(error, "Could not write to Blackmagic Design.");
    EXPECT_FALSE(fs::exists(folder.path() / L"Blackmagic Design"));
}

TEST(WriteFileReplacing, ATargetThatCannotBeReplacedInPlaceIsRenamedAside) {
    temp_folder folder(L"place");
    const fs::path target = folder.path() / L"VantrelCompanionBeta.exe";
    write_bytes(target, "old");
    std::string error;
    {
        // Shared for deletion, so it may be renamed; still open, so Windows refuses to replace it.
        held_file held(target, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        ASSERT_NE(held.handle, INVALID_HANDLE_VALUE);
        std::string probe_error;
        const fs::path probe_source = folder.path() / L"probe";
        write_bytes(probe_source, "p");
        if (MoveFileExW(probe_source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            GTEST_SKIP() << "Wine replaces a file that is open with delete sharing in place; "
                            "the rename-aside road cannot be reached this way";
        }
        fs::remove(probe_source);
        ASSERT_TRUE(write_file_replacing(target, byte_vector("new"), error)) << error;
        EXPECT_EQ(read_bytes(target), "new");
        const auto names = names_in(folder.path());
        ASSERT_EQ(names.size(), 2u);
        const std::wstring backup = names[0] == L"VantrelCompanionBeta.exe" ? names[1] : names[0];
        const std::wstring stem = L"VantrelCompanionBeta.exe.old-";
        ASSERT_EQ(backup.compare(0, stem.size(), stem), 0);
        const std::wstring digits = backup.substr(stem.size());
        EXPECT_FALSE(digits.empty());
        EXPECT_EQ(digits.find_first_not_of(L"0123456789"), std::wstring::npos);
        EXPECT_NE(digits[0], L'0');
        EXPECT_EQ(read_bytes(folder.path() / backup), "old");
    }
    sweep_leftovers(folder.path(), {L"VantrelCompanionBeta.exe"});
    EXPECT_EQ(names_in(folder.path()), std::vector<std::wstring>{L"VantrelCompanionBeta.exe"});
}

TEST(WriteFileReplacing, ATargetThatCanNeitherBeReplacedNorRenamedKeepsItsContent) {
    temp_folder folder(L"place");
    const fs::path target = folder.path() / L"Vantrel Beta.py";
    write_bytes(target, "old");
    held_file held(target, FILE_SHARE_READ);
    ASSERT_NE(held.handle, INVALID_HANDLE_VALUE);
    std::string error;
    EXPECT_FALSE(write_file_replacing(target, byte_vector("new"), error));
    EXPECT_EQ(error, "Could not replace Vantrel Beta.py. Close it and try again.");
    held.release();
    EXPECT_EQ(read_bytes(target), "old");
    EXPECT_EQ(names_in(folder.path()), std::vector<std::wstring>{L"Vantrel Beta.py"});
}

TEST(WriteFileReplacing, AStaleTemporaryThatCannotBeRemovedStopsTheWriteAndKeepsTheTarget) {
    temp_folder folder(L"place");
    const fs::path target = folder.path() / L"SETUP.md";
    const fs::path temporary = target.wstring() + L".vantrel-new";
    write_bytes(target, "old");
    write_bytes(temporary, "stale");
    held_file held(temporary, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(held.handle, INVALID_HANDLE_VALUE);
    std::string error;
    EXPECT_FALSE(write_file_replacing(target, byte_vector("new"), error));
    EXPECT_EQ(error, "Could not write to " + wide_to_utf8(folder.path().wstring()) + ".");
    EXPECT_EQ(read_bytes(target), "old");
    held.release();
    sweep_leftovers(folder.path(), {L"SETUP.md"});
    EXPECT_EQ(names_in(folder.path()), std::vector<std::wstring>{L"SETUP.md"});
    EXPECT_EQ(read_bytes(target), "old");
}

TEST(WriteFileReplacing, ALinkPlantedUnderTheTemporaryNameIsNeverWrittenThrough) {
    temp_folder folder(L"place");
    temp_folder elsewhere(L"victim");
    const fs::path target = folder.path() / L"VantrelCompanionBeta.exe";
    const fs::path temporary = target.wstring() + L".vantrel-new";
    const fs::path victim = elsewhere.path() / L"victim.txt";
    write_bytes(victim, "the user's");
    ASSERT_TRUE(CreateHardLinkW(temporary.c_str(), victim.c_str(), nullptr));
    std::string error;
    ASSERT_TRUE(write_file_replacing(target, byte_vector("new"), error)) << error;
    EXPECT_EQ(read_bytes(target), "new");
    EXPECT_EQ(read_bytes(victim), "the user's");
    EXPECT_FALSE(present(temporary));

    const fs::path other = elsewhere.path() / L"other.txt";
    write_bytes(other, "also the user's");
    if (!make_unix_link(temporary, other)) GTEST_SKIP() << "no symbolic link can be made here";
    // Windows removes the link itself; where removal would follow it (Wine), the write stops.
    if (write_file_replacing(target, byte_vector("newer"), error))
        EXPECT_EQ(read_bytes(target), "newer");
    else
        EXPECT_EQ(error, "A link is in the way of VantrelCompanionBeta.exe.");
    EXPECT_EQ(read_bytes(other), "also the user's");
    remove_unix_link(temporary);
}

// Where the platform reports a link at all (Wine's status queries may not).
bool reported_as_link(const fs::path& p) {
    std::error_code ec;
    if (fs::is_symlink(fs::symlink_status(p, ec))) return true;
    const DWORD attributes = GetFileAttributesW(p.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

TEST(WriteFileReplacing, ALinkInTheWayStopsTheWrite) {
    temp_folder folder(L"place");
    const fs::path real = folder.path() / L"real";
    std::error_code ec;
    fs::create_directories(real, ec);
    const fs::path linked = folder.path() / L"linked";
    const DWORD unprivileged = 2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
    CreateSymbolicLinkW(linked.c_str(), real.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY | unprivileged);
    if (!reported_as_link(linked))
        GTEST_SKIP() << "no status query here reports the symbolic link that CreateSymbolicLinkW made";
    std::string error;
    EXPECT_FALSE(write_file_replacing(linked / L"VantrelCompanionBeta.exe", byte_vector("x"), error));
    EXPECT_EQ(error, "A link is in the way of VantrelCompanionBeta.exe.");
    EXPECT_TRUE(names_in(real).empty());

    write_bytes(real / L"target.txt", "kept");
    const fs::path file_link = folder.path() / L"file-link.txt";
    CreateSymbolicLinkW(file_link.c_str(), (real / L"target.txt").c_str(), unprivileged);
    if (!reported_as_link(file_link)) GTEST_SKIP() << "no status query here reports a file link";
    EXPECT_FALSE(write_file_replacing(file_link, byte_vector("x"), error));
    EXPECT_EQ(error, "A link is in the way of file-link.txt.");
    EXPECT_EQ(read_bytes(real / L"target.txt"), "kept");
}

TEST(SweepLeftovers, RemovesOnlyWhatPlacementMadeOfTheNamedFilesDirectlyInside) {
    temp_folder folder(L"sweep");
    const fs::path f = folder.path();
    const std::vector<std::wstring> swept = {L"VantrelCompanionBeta.exe.old-123", L"SETUP.md.old-7",
                                             L"VantrelCompanionBeta.exe.vantrel-new", L"SETUP.md.vantrel-new"};
    // The user's files, whatever their names look like, and near misses.
    const std::vector<std::wstring> kept = {L"SETUP.md",      L"take.old-2.wav", L"mix.vantrel-new", L"SETUP.md.old-",
                                            L"SETUP.md.old-7x", L"a.old-1",      L"sub"};
    for (const std::wstring& name : swept) write_bytes(f / name, "x");
    for (const std::wstring& name : kept) write_bytes(f / name, "x");
    std::error_code ec;
    fs::remove(f / L"sub", ec);
    write_bytes(f / L"sub" / L"SETUP.md.old-1", "x");
    sweep_leftovers(f, {L"VantrelCompanionBeta.exe", L"SETUP.md"});
    std::vector<std::wstring> expected = kept;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names_in(f), expected);
    EXPECT_EQ(names_in(f / L"sub"), std::vector<std::wstring>{L"SETUP.md.old-1"});

    sweep_leftovers(f / L"missing", {L"SETUP.md"});
    sweep_leftovers(f / L"SETUP.md", {L"SETUP.md"});
    EXPECT_TRUE(fs::is_regular_file(f / L"SETUP.md", ec));

    // Nothing is placed through a folder that is a link: what lies behind one is someone else's.
    temp_folder foreign(L"behind");
    write_bytes(foreign.path() / L"SETUP.md.old-7", "the user's");
    if (!make_unix_link(f / L"linked", foreign.path())) GTEST_SKIP() << "no symbolic link can be made here";
    sweep_leftovers(f / L"linked", {L"SETUP.md"});
    remove_unix_link(f / L"linked");
    EXPECT_EQ(read_bytes(foreign.path() / L"SETUP.md.old-7"), "the user's");
}

TEST(SweepLeftovers, AReadOnlyBackupGoesAndOneHeldOpenIsReported) {
    temp_folder folder(L"sweep");
    const fs::path read_only = folder.path() / L"SETUP.md.old-5", held = folder.path() / L"SETUP.md.old-6";
    write_bytes(read_only, "x");
    write_bytes(held, "x");
    ASSERT_TRUE(SetFileAttributesW(read_only.c_str(), FILE_ATTRIBUTE_READONLY));
    held_file open(held, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(open.handle, INVALID_HANDLE_VALUE);
    const std::vector<fs::path> left = sweep_leftovers(folder.path(), {L"SETUP.md"});
    EXPECT_FALSE(fs::exists(read_only));
    EXPECT_EQ(left, std::vector<fs::path>{held});
}

TEST(LongPath, AbsolutePathsTakeTheLongFormNormalisedAndOthersStayAsWritten) {
    EXPECT_EQ(long_path(L"C:\\a\\CON"), L"\\\\?\\C:\\a\\CON");
    EXPECT_EQ(long_path(L"C:/a//b/./c/../d"), L"\\\\?\\C:\\a\\b\\d");
    EXPECT_EQ(long_path(L"C:\\a\\..\\..\\b"), L"\\\\?\\C:\\b");
    EXPECT_EQ(long_path(L"C:\\"), L"\\\\?\\C:\\");
    EXPECT_EQ(long_path(L"\\\\server\\share\\x\\..\\..\\y"), L"\\\\?\\UNC\\server\\share\\y");
    EXPECT_EQ(long_path(L"\\\\?\\C:\\a\\.\\b"), L"\\\\?\\C:\\a\\.\\b");
    EXPECT_EQ(long_path(L"relative\\x"), L"relative\\x");
}

TEST(RealPathIn, ANameInADrivesRootTakesOneSeparator) {
    EXPECT_EQ(real_path_in(L"\\\\?\\T:\\", L"VantrelUninstall-7.exe"), L"\\\\?\\T:\\VantrelUninstall-7.exe");
    EXPECT_EQ(real_path_in(L"\\\\?\\C:\\Temp", L"a\\b"), L"\\\\?\\C:\\Temp\\a\\b");
}

TEST(InstallPayloadFile, ListsEachPlacedTargetInCallOrderAndReportsFailures) {
    temp_folder folder(L"payload");
    payload_files["VantrelCompanion.exe"] = byte_vector("exe");
    payload_files["SETUP.md"] = byte_vector("guide");
    op_result result;
    result.record = json{{"files", json::array()}};
    const fs::path one = folder.path() / L"één" / L"VantrelCompanionBeta.exe";
    const fs::path two = folder.path() / L"SETUP.md";
    ASSERT_TRUE(install_payload_file("VantrelCompanion.exe", one, result));
    ASSERT_TRUE(install_payload_file("SETUP.md", two, result));
    EXPECT_EQ(read_bytes(one), "exe");
    write_bytes(folder.path() / L"blocked", "file");
    EXPECT_FALSE(install_payload_file("SETUP.md", folder.path() / L"blocked" / L"SETUP.md", result));
    EXPECT_EQ(result.error, "Could not write to " + wide_to_utf8((folder.path() / L"blocked").wstring()) + ".");
    EXPECT_EQ(result.record["files"], json::array({wide_to_utf8(one.wstring()), wide_to_utf8(two.wstring())}));
    EXPECT_THROW(std::ignore = install_payload_file("Unknown", two, result), std::out_of_range);
    payload_files.clear();
}

TEST(PruneEmptyDirs, ClimbsThroughEmptyFoldersAndStopsAtStopOrContent) {
    temp_folder folder(L"prune");
    const fs::path stop = folder.path() / L"stop";
    std::error_code ec;
    fs::create_directories(stop / L"a" / L"b", ec);
    prune_empty_dirs(stop, stop);
    EXPECT_TRUE(fs::exists(stop));

    write_bytes(stop / L"a" / L"b" / L"file", "x");
    prune_empty_dirs(stop / L"a" / L"b", stop);
    EXPECT_TRUE(fs::exists(stop / L"a" / L"b" / L"file"));

    fs::remove(stop / L"a" / L"b" / L"file", ec);
    prune_empty_dirs(stop / L"a" / L"b", stop);
    EXPECT_FALSE(fs::exists(stop / L"a"));
    EXPECT_TRUE(fs::exists(stop));

    // A sibling keeps the parent.
    fs::create_directories(stop / L"c" / L"d", ec);
    fs::create_directories(stop / L"c" / L"e", ec);
    prune_empty_dirs(stop / L"c" / L"d", stop);
    EXPECT_FALSE(fs::exists(stop / L"c" / L"d"));
    EXPECT_TRUE(fs::exists(stop / L"c" / L"e"));
}

TEST(PruneEmptyDirs, EndsAtADriveRootItNeverMeetsItsStopBelow) {
    temp_folder folder(L"prune");
    std::error_code ec;
    fs::create_directories(folder.path() / L"drive" / L"x" / L"y", ec);
    // A drive letter of its own over an empty folder, so the walk reaches an empty root.
    const mapped_drive drive(folder.path() / L"drive");
    if (drive.root().empty()) {
        if (!unix_name_of(folder.path() / L"x").empty()) FAIL() << "no drive could be mapped";
        GTEST_SKIP() << "no drive letter could be mapped onto a folder here";
    }
    const fs::path start = fs::path(drive.root() + L"x\\y");
    ASSERT_TRUE(fs::is_directory(start, ec));
    auto walk = std::async(std::launch::async, [&] { prune_empty_dirs(start, folder.path() / L"elsewhere"); });
    if (walk.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "the walk did not end at the drive root";
        std::_Exit(1);
    }
    EXPECT_FALSE(fs::exists(folder.path() / L"drive" / L"x"));
    EXPECT_TRUE(fs::exists(folder.path() / L"drive"));
}
