#include "db/maint.h"
#include "md5lib/md5.h"
#include "util/fatal.h"
#include "util/lease.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Maint : public ScratchTest {
protected:
    static std::string read(const std::string& p) {
        std::ifstream f(p);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
    static std::string digest_of(std::string_view content) {
        unsigned char d[16];
        char hex[MD5_HEX_SIZE];
        md5_buffer(content.data(), content.size(), d);
        md5_to_hex(d, hex);
        return hex;
    }
    // Where the object of digest stands in the store at dir_.
    std::string object(const std::string& digest) { return path(digest.substr(0, 2) + "/" + digest.substr(2)); }
};

TEST_F(Maint, RenameNeverReplaces) {
    const std::string a = put("a", "A"), b = put("b", "B");
    EXPECT_EQ(rename_noreplace(a, b), EEXIST);
    EXPECT_EQ(read(a), "A");
    EXPECT_EQ(read(b), "B");
    EXPECT_EQ(rename_noreplace(a, dir_ + "/c"), 0);
    EXPECT_EQ(read(dir_ + "/c"), "A");
    EXPECT_EQ(rename_noreplace(a, dir_ + "/d"), ENOENT);
}

// What Aside::take found, checked at once on a local file system.
Moved take(Aside& aside, const std::string& path, const struct stat& seen, std::string& held) {
    std::optional<Moved> got;
    aside.take(path, seen, [&](Moved m, const std::string& h) {
        got = m;
        held = h;
    });
    EXPECT_TRUE(got.has_value());
    return got.value_or(Moved::gone);
}

TEST_F(Maint, TakesOnlyTheFileJudged) {
    const std::string obj = put("obj", "old");
    struct stat seen;
    ASSERT_EQ(::lstat(obj.c_str(), &seen), 0);
    RunLease lease(dir_ + "/");
    Aside aside(dir_, lease);
    std::string held;
    EXPECT_EQ(take(aside, obj, seen, held), Moved::yes);
    EXPECT_EQ(read(held), "old");
    aside.drop(held);
    EXPECT_EQ(take(aside, obj, seen, held), Moved::gone);

    // Replaced by a new file after it was judged: the new one goes back.
    put("obj", "new");
    EXPECT_EQ(take(aside, obj, seen, held), Moved::back);
    EXPECT_EQ(read(obj), "new");
    EXPECT_EQ(::access(held.c_str(), F_OK), -1);

    // Refreshed in place (same inode, a new time): it goes back too.
    struct stat now;
    ASSERT_EQ(::lstat(obj.c_str(), &now), 0);
    struct timespec times[2] = {{0, UTIME_NOW}, {1, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, obj.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
    EXPECT_EQ(take(aside, obj, now, held), Moved::back);
    EXPECT_EQ(read(obj), "new");

    // The aside directory is a temporary name of the run, and goes at the end.
    const std::string dir = held.substr(0, held.rfind('/'));
    EXPECT_TRUE(is_temp_name(dir.substr(dir.rfind('/') + 1)));
    aside.finish();
    EXPECT_EQ(::access(dir.c_str(), F_OK), -1);
}

TEST_F(Maint, LeaseTellsLiveRunsFromDead) {
    const std::string name = temp_name("").substr(0);
    EXPECT_EQ(run_state(dir_ + "/", name), RunState::live);  // this process's own
    // Another run's files: unknown without a lease, dead with an unlocked one.
    const std::string other = ".mdtree-zzzzz01234";
    EXPECT_EQ(run_state(dir_ + "/", other), RunState::unknown);
    put(".mdtree-zzzzzLEASE", "");
    EXPECT_EQ(run_state(dir_ + "/", other), RunState::dead);
    EXPECT_TRUE(is_lease_name(".mdtree-zzzzzLEASE"));
    EXPECT_FALSE(is_lease_name(other));
    {
        const RunLease lease(dir_ + "/");
        std::vector<std::string> leases;
        for (const std::string& n : dir_names(dir_))
            if (is_lease_name(n)) leases.push_back(n);
        EXPECT_EQ(leases.size(), 2u);
    }
    EXPECT_EQ(dir_names(dir_).size(), 1u);  // only the planted lease is left
}

TEST_F(Maint, PutsBackWhatADeadRunHeldAside) {
    const std::string a(30, 'a'), b(30, 'b'), c(30, 'c'), d(30, 'd');
    ASSERT_EQ(::mkdir(path("ab").c_str(), 0777), 0);
    // A killed run's aside directory: its lease is there, unlocked.
    const std::string dead = ".mdtree-zzzzz00000";
    ASSERT_EQ(::mkdir(path(dead).c_str(), 0700), 0);
    put(".mdtree-zzzzzLEASE", "");
    put(dead + "/0.ab" + a, "held");
    put(dead + "/1.ab" + b, "second copy");
    put("ab/" + b, "standing");
    ASSERT_EQ(::symlink("/etc/passwd", path(dead + "/2.ab" + c).c_str()), 0);
    // Its object's directory swapped for a link out of the store: it stays.
    const std::string g(30, '9');
    ASSERT_EQ(::mkdir(path("outside").c_str(), 0777), 0);
    ASSERT_EQ(::symlink(path("outside").c_str(), path("cd").c_str()), 0);
    put(dead + "/3.cd" + g, "held below a link");
    // Another killed run's, all of which goes back: its lease goes too.
    const std::string emptied = ".mdtree-yyyyy00000";
    ASSERT_EQ(::mkdir(path(emptied).c_str(), 0700), 0);
    put(".mdtree-yyyyyLEASE", "");
    put(emptied + "/0.ab" + d, "held too");
    // A run killed on a full file system held objects in the root itself:
    // one goes back, one stays where a file stands at its name, and the
    // run's lease with it.
    // Only its name says which object a file held in the root is: one
    // whose content has another digest stays, whatever its run.
    const std::string e = digest_of("held flat"), flat = ".mdtree-xxxxx00000." + e;
    const std::string taken = digest_of("standing flat"), flat_taken = ".mdtree-xxxxx00001." + taken;
    const std::string lying = ".mdtree-xxxxx00002." + e.substr(0, 2) + a;
    for (const std::string& x : {e, taken}) ::mkdir(path(x.substr(0, 2)).c_str(), 0777);
    put(".mdtree-xxxxxLEASE", "");
    put(flat, "held flat");
    put(flat_taken, "standing flat");
    put(taken.substr(0, 2) + "/" + taken.substr(2), "standing flat");
    put(lying, "not its object");
    // Another's, all of which goes back, and its lease too.
    const std::string f = digest_of("held flat too"), flat_emptied = ".mdtree-wwwww00000." + f;
    ::mkdir(path(f.substr(0, 2)).c_str(), 0777);
    put(".mdtree-wwwwwLEASE", "");
    put(flat_emptied, "held flat too");
    // This run's own aside directory, live.
    const std::string live = temp_name("");
    ASSERT_EQ(::mkdir(path(live).c_str(), 0700), 0);
    put(live + "/" + Aside::held_name(0, "ab/" + c), "mine");
    EXPECT_EQ(Aside::held_name(7, "ab/" + c), "7.ab" + c);
    EXPECT_EQ(Aside::held_name(7, ".mdtree-0123456789"), "7");

    EXPECT_EQ(put_back_asides(dir_, {dead, ".mdtree-yyyyyLEASE", emptied, ".mdtree-zzzzzLEASE", live, flat, flat_taken,
                                     lying, ".mdtree-xxxxxLEASE", flat_emptied, ".mdtree-wwwwwLEASE"}),
              4u);
    EXPECT_EQ(read(object(e)), "held flat");
    EXPECT_EQ(read(object(f)), "held flat too");
    EXPECT_EQ(read(path(flat_taken)), "standing flat");
    EXPECT_EQ(read(path(lying)), "not its object");
    EXPECT_EQ(::access(object(e.substr(0, 2) + a).c_str(), F_OK), -1);
    EXPECT_EQ(::access(path(".mdtree-xxxxxLEASE").c_str(), F_OK), 0);
    EXPECT_EQ(::access(path(".mdtree-wwwwwLEASE").c_str(), F_OK), -1);
    EXPECT_EQ(read(path("ab/" + d)), "held too");
    EXPECT_EQ(::access(path(emptied).c_str(), F_OK), -1);
    EXPECT_EQ(::access(path(".mdtree-yyyyyLEASE").c_str(), F_OK), -1);
    EXPECT_EQ(::access(path(".mdtree-zzzzzLEASE").c_str(), F_OK), 0);  // its run left entries
    EXPECT_EQ(read(path("ab/" + a)), "held");
    EXPECT_EQ(read(path("ab/" + b)), "standing");            // never over a file standing there
    EXPECT_EQ(::access(path("ab/" + c).c_str(), F_OK), -1);  // a link is no object
    EXPECT_EQ(dir_names(path(dead)), (std::vector<std::string>{"1.ab" + b, "2.ab" + c, "3.cd" + g}));
    EXPECT_TRUE(dir_names(path("outside")).empty());
    EXPECT_EQ(dir_names(path(live)).size(), 1u);
}

TEST_F(Maint, StoreTop) {
    ::mkdir((dir_ + "/ab").c_str(), 0777);
    ::mkdir((dir_ + "/damaged").c_str(), 0777);
    ::symlink("/tmp", (dir_ + "/cd").c_str());
    put(".mdtree-0123456789", "");
    put("notes", "");
    // An object held in the root by a run, and names only like it.
    const std::string hex(32, 'a'), held = ".mdtree-0123456789." + hex;
    const std::string lease_like = ".mdtree-01234LEASE." + hex, upper = ".mdtree-0123456789." + std::string(32, 'A');
    for (const std::string& n : {held, lease_like, upper}) put(n, "");
    const StoreTop top = read_store_top(dir_);
    EXPECT_EQ(top.dirs, std::vector<std::string>{"ab"});
    EXPECT_EQ(top.temps, (std::vector<std::string>{".mdtree-0123456789", held}));
    EXPECT_EQ(top.foreign, (std::vector<std::string>{upper, lease_like, "cd", "notes"}));
    EXPECT_THROW(read_store_top_strict(dir_), FatalError);
    EXPECT_THROW(read_store_top(dir_ + "/notes"), FatalError);
    EXPECT_THROW(read_store_top(dir_ + "/missing"), FatalError);
}

}  // namespace
