#include "util/netfs.h"

#include <gtest/gtest.h>

namespace {

// Lines as the kernel writes them: a mount point with a space in octal, an
// optional tag field, a local FUSE mount beside a network one.
const char* const MOUNTINFO =
    "21 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw\n"
    "45 21 0:40 / /mnt/gl rw,relatime - fuse.glusterfs 127.0.0.1:/vol rw,user_id=0\n"
    "46 45 0:41 / /mnt/gl/inner rw - tmpfs tmpfs rw\n"
    "47 21 0:42 / /mnt/my\\040files rw shared:7 master:2 - fuse.sshfs me@host:/ rw\n"
    "48 21 0:43 / /mnt/local rw - fuse.squashfuse img rw\n"
    "49 21 0:44 / /srv/nfs rw - nfs4 server:/export rw\n";

TEST(MountType, TheLongestLeadingMountPointDecides) {
    struct Case {
        const char* path;
        const char* type;
    } cases[] = {
        {"/mnt/gl", "fuse.glusterfs"},
        {"/mnt/gl/store/ab", "fuse.glusterfs"},
        {"/mnt/gl/inner/x", "tmpfs"},
        // A name that only starts like a mount point is not below it.
        {"/mnt/glx/store", "ext4"},
        {"/mnt/my files/a", "fuse.sshfs"},
        {"/mnt/local/a", "fuse.squashfuse"},
        {"/srv/nfs/a", "nfs4"},
        {"/home/a", "ext4"},
    };
    for (const Case& c : cases) EXPECT_EQ(mount_type(MOUNTINFO, c.path), c.type) << c.path;
}

TEST(MountType, NoMountsNoType) {
    EXPECT_EQ(mount_type("", "/a"), "");
    EXPECT_EQ(mount_type("garbage line\n", "/a"), "");
}

TEST(NetworkFs, LocalDirectoriesAreNotNetwork) {
    // The test machines hold their temporary files on local file systems.
    EXPECT_FALSE(on_network_fs("/dev/shm"));
    EXPECT_FALSE(on_network_fs("/dev/shm/does/not/exist/yet"));
}

} // namespace
