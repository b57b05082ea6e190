// Where a restore may write: never into the repository or a snapshot, never
// through a symbolic link, one restore per target at a time, nothing but the
// data area of an existing file; and the notes of interrupted restores, which
// live under the root (so a read-only repository restores) and go once their
// target is gone or was restored since.
#include <sys/mount.h>
#include <sys/stat.h>

#include <functional>

#include "tests/apps/DatamoverFixture.h"

namespace dmtest {
namespace {

class DatamoverRestoreTargetTest : public DatamoverTest {
protected:
    std::string At(const std::string& name) const { return sim->Root() + "/" + name; }
    std::string DataOf(const std::string& snap) const { return sim->Read(snap, kOffset, size - kOffset); }
    // The data area of a local image file.
    static std::string FileData(const std::string& path, uint64_t length)
    {
        return FileBytes(path).substr(kOffset, length);
    }
    static std::string Code(const Result& r) { return r.json["error"]["code"].asString(); }
    static void WriteFileOf(const std::string& path, const std::string& bytes)
    {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    }
    // A record as the versions before this one left it inside the repository.
    void WriteOldRecord(const std::string& name, const std::string& url) const
    {
        fs::create_directories(repoPath + "/restores");
        Json::Value v(Json::objectValue);
        v["task_id"] = name;
        v["url"] = url;
        v["backup_id"] = b1;
        v["started_at"] = Json::Int64(std::time(nullptr) - 100);
        WriteFileOf(repoPath + "/restores/" + name + ".json", CJsonUtils::JsonToString(v) + "\n");
    }
    static std::string Note(const std::string& url)
    {
        return "restore into " + url + " was interrupted; its content is incomplete";
    }

};

TEST_F(DatamoverRestoreTargetTest, ATargetInsideTheRepositoryIsRefusedWithNothingWritten)
{
    MakeChain();
    const std::string image = BackupDir(b1) + "/" + repo::kFullDataFile;
    const std::string inChain = "/chains/" + std::string(kVolumeId) + "/backups/";
    fs::create_directory_symlink(repoPath, At("repolink"));
    fs::create_symlink(image, At("image-link"));
    fs::create_hard_link(image, At("hard.img"));
    const std::vector<std::string> before = RepoFiles();
    const std::string imageBytes = FileBytes(image);
    struct Case {
        std::string flag;
        std::string target;
        bool force;
    };
    const std::vector<Case> cases = {
        {"--to-file", image, true},                                            // the case that destroyed B1..B3
        {"--to-file", BackupDir(b2) + "/new.img", false},                      // a new file in a backup
        {"--to-file", At("repolink") + inChain + b3 + "/blocks.dat", true},    // through a linked directory
        {"--to-file", At("repolink") + "/new.img", false},                     // new, its parent a link
        {"--to-file", At("image-link"), true},                                 // a link to a backup's file
        {"--to-file", At("hard.img"), true},                                   // another name of the same file
        {"--to-device", image, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flag + " " + c.target);
        Result r = Restore(b3, "", c.force ? std::vector<std::string>{c.flag, c.target, "--force"}
                                           : std::vector<std::string>{c.flag, c.target});
        ExpectRefused(r, {"inside the repository", "nothing was written"});
        EXPECT_EQ(Code(r), "refused") << r.out;
        EXPECT_EQ(RepoFiles(), before);
    }
    // A loop device over a backup's image is the repository too.
    if (SimRoot::LoopDevicesUsable()) {
        std::string device;
        ASSERT_EQ(SimRoot::RunProgram({"losetup", "--find", "--show", image}, &device), 0);
        device.erase(device.find_last_not_of("\n ") + 1);
        std::shared_ptr<void> detach(nullptr, [&](void*) { SimRoot::RunProgram({"losetup", "--detach", device}); });
        Result r = Restore(b3, "", {"--to-device", device, "--force"});
        ExpectRefused(r, {"loop device", "inside the repository", "nothing was written"});
        EXPECT_EQ(Code(r), "refused") << r.out;
    }
    EXPECT_TRUE(FileBytes(image) == imageBytes) << "B1's image was written";
    Result v = Expect(0, Repo("verify"));
    EXPECT_EQ(v.json["backups"].size(), 3u) << v.out;
}

TEST_F(DatamoverRestoreTargetTest, ASnapshotIsNeverARestoreTarget)
{
    MakeChain();
    struct Case {
        std::string backup;
        std::string snapshot;
    };
    // The backed-up snapshot, the ones its chain read, and one a later backup read.
    const std::vector<Case> cases = {{b3, "s3"}, {b3, "s1"}, {b3, "s2"}, {b1, "s3"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.backup + " into " + c.snapshot);
        const std::string before = sim->Read(c.snapshot, 0, size);
        const int attaches = sim->State().calls["attach"];
        Result r = Restore(c.backup, c.snapshot, {"--force"});
        ExpectRefused(r, {"snapshot " + c.snapshot, "nothing was written"});
        EXPECT_EQ(Code(r), "refused") << r.out;
        EXPECT_EQ(sim->State().calls["attach"], attaches) << "the refusal reached the storage";
        EXPECT_TRUE(sim->Read(c.snapshot, 0, size) == before) << c.snapshot << " was written";
    }
    ExpectRestores(b3, "s3");
    EXPECT_EQ(List().json["interrupted_restores"].size(), 0u);
}

// A view of the repository the datamover cannot write: a read-only bind mount
// as root (who may write any directory), else the repository's directories
// made unwritable. Undone on destruction.
class ReadOnlyView {
public:
    ReadOnlyView(const std::string& repo, const std::string& mountPoint) : m_repo(repo)
    {
        if (::geteuid() != 0) {
            m_path = repo;
            SetWritable(false);
            return;
        }
        fs::create_directories(mountPoint);
        if (::mount(repo.c_str(), mountPoint.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            m_error = std::string("bind mount: ") + std::strerror(errno);
            return;
        }
        m_mounted = mountPoint;
        if (::mount(nullptr, mountPoint.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
            m_error = std::string("read-only remount: ") + std::strerror(errno);
            return;
        }
        m_path = mountPoint;
    }
    ~ReadOnlyView()
    {
        if (!m_mounted.empty()) ::umount2(m_mounted.c_str(), MNT_DETACH);
        if (::geteuid() != 0) SetWritable(true);
    }
    // Empty when no read-only view could be made (m_error says why).
    const std::string& Path() const { return m_path; }
    const std::string& Error() const { return m_error; }

private:
    void SetWritable(bool writable) const
    {
        std::error_code ec;
        const fs::perm_options how = writable ? fs::perm_options::add : fs::perm_options::remove;
        fs::permissions(m_repo, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write, how, ec);
        for (auto it = fs::recursive_directory_iterator(m_repo, ec); it != fs::recursive_directory_iterator();
             it.increment(ec)) {
            if (it->is_directory()) {
                fs::permissions(it->path(), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                                how, ec);
            }
        }
    }
    std::string m_repo;
    std::string m_path;
    std::string m_mounted;
    std::string m_error;
};

TEST_F(DatamoverRestoreTargetTest, ARestoreFromAReadOnlyRepositoryWorksAndIsReported)
{
    MakeChain();
    WriteOldRecord("old-task", kUrl + std::string("old-target"));  // an older version's note, inside the repository
    const std::vector<std::string> before = RepoFiles();
    ReadOnlyView view(repoPath, At("ro-repo"));
    if (view.Path().empty()) GTEST_SKIP() << "no read-only view of the repository here: " << view.Error();
    const std::string ro = view.Path();
    ASSERT_NE(::access((ro + "/restores").c_str(), W_OK), 0) << "the view is writable";

    Result r = Restore(b3, "", {"--to-file", At("out.img")}, ro);
    ASSERT_EQ(r.rc, 0) << r.out << r.err;
    EXPECT_TRUE(FileData(At("out.img"), size - kOffset) == DataOf("s3"));

    // A restore from it that dies while writing is reported for that repository.
    sim->CreateVolume("target", size);
    sim->InjectFault(SimFault::Stall("detach", 60000, 1, false));
    const int detaches = sim->State().calls["detach"];
    ASSERT_TRUE(KillWhen(Argv({"restore", "--repo", ro, "--backup", b3, "--volume-url", kUrl + std::string("target")}, true),
                         [&]() { return sim->State().calls["detach"] > detaches; }));
    sim->ClearFaults();
    Result l = Expect(0, {"list", "--repo", ro});
    EXPECT_TRUE(Mentions(l.json["interrupted_restores"], Note(kUrl + std::string("target")))) << l.out;
    EXPECT_TRUE(Mentions(l.json["interrupted_restores"], Note(kUrl + std::string("old-target")))) << l.out;
    Result c = Run({"clean", "--repo", ro});
    EXPECT_TRUE(Mentions(c.json["repository_notes"], Note(kUrl + std::string("target")))) << c.out;
    EXPECT_NE(Run({"clean", "--repo", ro}, false).out.find(Note(kUrl + std::string("target"))), std::string::npos);

    // A restore into the same target that completes settles it.
    Result again = Restore(b3, "target", {"--force"}, ro);
    ASSERT_EQ(again.rc, 0) << again.out;
    ExpectSameData("s3", "target");
    Result after = Expect(0, {"list", "--repo", ro});
    EXPECT_FALSE(Mentions(after.json["interrupted_restores"], Note(kUrl + std::string("target")))) << after.out;
    EXPECT_EQ(RepoFiles(), before) << "the read-only repository changed";
}

TEST_F(DatamoverRestoreTargetTest, ASecondRestoreIntoTheSameTargetIsRefusedAtOnce)
{
    MakeChain();
    sim->CreateVolume("target", size);
    // The first restore holds its target while its attach is stalled.
    sim->InjectFault(SimFault::Stall("attach", 60000, 1, false));
    const int attaches = sim->State().calls["attach"];
    Result r;
    std::thread first([&]() { r = Restore(b3, "target"); });
    EXPECT_TRUE(WaitFor([&]() { return sim->State().calls["attach"] > attaches; }));
    for (const std::string& backup : {b3, b1}) {
        Result second = Restore(backup, "target", {"--force"});
        ExpectRefused(second, {"in use by task", "target"});
        EXPECT_EQ(Code(second), "in_use") << second.out;
    }
    sim->ClearFaults();
    first.join();
    ASSERT_EQ(r.rc, 0) << r.out;
    ExpectSameData("s3", "target");
    EXPECT_EQ(List().json["interrupted_restores"].size(), 0u);
}

TEST_F(DatamoverRestoreTargetTest, AnExistingFileKeepsWhatLiesOutsideTheDataArea)
{
    MakeChain();
    const uint64_t needed = size;  // data offset + data area
    // Larger: the bytes before and past the data area stay, and the output says so.
    const std::string larger = At("larger.img");
    std::string old(needed + 8 * kMiB, 'x');
    WriteFileOf(larger, old);
    Result r = Restore(b3, "", {"--to-file", larger, "--force"});
    ASSERT_EQ(r.rc, 0) << r.out << r.err;
    const std::string now = FileBytes(larger);
    ASSERT_EQ(now.size(), old.size()) << "the file was resized";
    EXPECT_TRUE(now.compare(0, kOffset, old, 0, kOffset) == 0) << "the bytes before the data area changed";
    EXPECT_TRUE(now.compare(needed, std::string::npos, old, needed, std::string::npos) == 0)
        << "the bytes past the backup changed";
    EXPECT_TRUE(now.substr(kOffset, size - kOffset) == DataOf("s3"));
    EXPECT_EQ(r.json["bytes_beyond_backup"].asUInt64(), 8 * kMiB) << r.out;
    EXPECT_EQ(r.json["bytes_before_data_kept"].asUInt64(), kOffset) << r.out;
    Result text = Run({"restore", "--repo", repoPath, "--backup", b3, "--to-file", larger, "--force"}, false);
    EXPECT_NE(text.out.find("(before the data area) were left as they were"), std::string::npos) << text.out;

    // Smaller than the backup, even by less than the data-area offset: refused,
    // a volume as a file that holds data.
    for (uint64_t shortBy : {uint64_t{512}, kOffset - 512}) {  // volumes grow in sectors
        SCOPED_TRACE(shortBy);
        const std::string vol = "short" + std::to_string(shortBy);
        sim->CreateVolume(vol, needed - shortBy);
        ExpectRefused(Restore(b3, vol), {"nothing was written"});
        EXPECT_EQ(fs::file_size(sim->BackingPath(vol)), needed - shortBy);
        const std::string file = At(vol + ".img");
        WriteFileOf(file, std::string(needed - shortBy, 'y'));
        Result f = Restore(b3, "", {"--to-file", file, "--force"});
        ExpectRefused(f, {"the backup needs " + std::to_string(needed), "nothing was written"});
        EXPECT_EQ(FileBytes(file), std::string(needed - shortBy, 'y'));
    }
}

TEST_F(DatamoverRestoreTargetTest, ASymbolicLinkIsNeverFollowed)
{
    MakeChain();
    struct Case {
        std::string name;
        std::string points;     // what the link names
        std::string content;    // of that file; none when empty and `exists` is false
        bool exists;
        bool force;
    };
    const std::vector<Case> cases = {
        {"to-data", "real-data.img", "precious", true, true},
        {"to-empty", "real-empty.img", "", true, false},
        {"dangling", "nowhere.img", "", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.exists) WriteFileOf(At(c.points), c.content);
        fs::create_symlink(At(c.points), At(c.name));
        Result r = Restore(b3, "", c.force ? std::vector<std::string>{"--to-file", At(c.name), "--force"}
                                           : std::vector<std::string>{"--to-file", At(c.name)});
        ExpectRefused(r, {"symbolic link", "nothing was written"});
        EXPECT_TRUE(fs::is_symlink(At(c.name)));
        EXPECT_EQ(fs::exists(At(c.points)), c.exists);
        if (c.exists) {
            EXPECT_EQ(FileBytes(At(c.points)), c.content);
        }
    }
}

TEST_F(DatamoverRestoreTargetTest, AFileOfZerosCountsAsEmpty)
{
    MakeChain();
    struct Case {
        std::string name;
        std::function<void(const std::string&)> make;
        bool empty;
    };
    const std::vector<Case> cases = {
        {"holes", [](const std::string& p) { WriteFileOf(p, ""); fs::resize_file(p, 64 * kMiB); }, true},
        {"written-zeros", [](const std::string& p) { WriteFileOf(p, std::string(8 * kMiB, '\0')); }, true},
        // One byte deep inside written zeros: more than a sample would see.
        {"one-byte", [](const std::string& p) {
             std::string bytes(8 * kMiB, '\0');
             bytes[5 * kMiB + 7] = 1;
             WriteFileOf(p, bytes);
         }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = At(c.name + ".img");
        c.make(path);
        const uint64_t was = fs::file_size(path);
        const std::string before = FileBytes(path);
        Result r = Restore(b3, "", {"--to-file", path});
        if (!c.empty) {
            ExpectRefused(r, {"--force", "nothing was written"});
            EXPECT_EQ(Code(r), "refused") << r.out;
            EXPECT_TRUE(FileBytes(path) == before);
            continue;
        }
        ASSERT_EQ(r.rc, 0) << r.out << r.err;
        EXPECT_EQ(fs::file_size(path), std::max<uint64_t>(was, size));
        EXPECT_TRUE(FileData(path, size - kOffset) == DataOf("s3"));
    }
}

TEST_F(DatamoverRestoreTargetTest, CleanDropsNotesWhoseTargetIsGoneOrWasRestoredSince)
{
    MakeChain();
    sim->CreateVolume("kept", size);
    sim->CreateVolume("again", size);
    WriteFileOf(At("there.img"), "data");
    WriteOldRecord("a", "file://" + At("gone.img"));
    WriteOldRecord("b", "file://" + At("there.img"));
    WriteOldRecord("c", kUrl + std::string("nosuch"));
    WriteOldRecord("d", kUrl + std::string("kept"));
    WriteOldRecord("e", kUrl + std::string("again"));
    // A restore of this version that died writing a volume, which was deleted since.
    sim->CreateVolume("deleted", size);
    sim->InjectFault(SimFault::Stall("detach", 60000, 1, false));
    const int detaches = sim->State().calls["detach"];
    ASSERT_TRUE(KillWhen(Argv(Repo("restore", {"--backup", b3, "--volume-url", kUrl + std::string("deleted")}), true),
                         [&]() { return sim->State().calls["detach"] > detaches; }));
    sim->ClearFaults();
    EXPECT_TRUE(Mentions(List().json["interrupted_restores"], Note(kUrl + std::string("deleted"))));
    sim->DeleteVolume("deleted");
    // "again" is restored whole from another repository.
    const std::string other = sim->Root() + "/repo2";
    InitFormat2(other);
    Expect(0, {"backup", "--volume-id", kVolumeId, "--snapshot-url", kUrl + std::string("s1"), "--repo", other,
               "--volume-size", std::to_string(size)});
    const std::string full = Id(Run({"list", "--repo", other}).json["chains"][0]["backups"][0]);
    ASSERT_EQ(Restore(full, "again", {}, other).rc, 0);

    Result c = Expect(0, Repo("clean"));
    const std::vector<std::string> stay = {"file://" + At("there.img"), kUrl + std::string("kept")};
    const std::vector<std::string> gone = {"file://" + At("gone.img"), kUrl + std::string("nosuch"),
                                           kUrl + std::string("again"), kUrl + std::string("deleted")};
    Result l = List();
    EXPECT_EQ(l.json["interrupted_restores"].size(), stay.size()) << l.out;
    for (const std::string& url : stay) {
        EXPECT_TRUE(Mentions(c.json["repository_notes"], Note(url))) << url << "\n" << c.out;
        EXPECT_TRUE(Mentions(l.json["interrupted_restores"], Note(url))) << url << "\n" << l.out;
    }
    for (const std::string& url : gone) {
        EXPECT_FALSE(Mentions(c.json["repository_notes"], Note(url))) << url << "\n" << c.out;
        EXPECT_TRUE(Mentions(c.json["restore_notes_dropped"], url)) << url << "\n" << c.out;
    }
}

TEST_F(DatamoverRestoreTargetTest, CleanKeepsTheNoteOfARestoreStillWriting)
{
    MakeChain();
    sim->CreateVolume("busy", size);
    sim->InjectFault(SimFault::Stall("detach", 60000, 1, false));
    const int detaches = sim->State().calls["detach"];
    std::thread running([&]() { Restore(b3, "busy"); });
    EXPECT_TRUE(WaitFor([&]() { return sim->State().calls["detach"] > detaches; }));
    // Its target looks gone, yet the restore holds it: the note stays.
    sim->DeleteVolume("busy");
    Result c = Expect(0, Repo("clean"));
    EXPECT_TRUE(Mentions(c.json["repository_notes"], Note(kUrl + std::string("busy")))) << c.out;
    EXPECT_EQ(c.json["restore_notes_dropped"].size(), 0u) << c.out;
    sim->ClearFaults();
    running.join();
    // Once it ended, whatever its outcome, nothing is left to say about a deleted volume.
    Result after = Expect(0, Repo("clean"));
    EXPECT_FALSE(Mentions(after.json["repository_notes"], Note(kUrl + std::string("busy")))) << after.out;
    EXPECT_EQ(List().json["interrupted_restores"].size(), 0u);
}

}  // namespace
}  // namespace dmtest
