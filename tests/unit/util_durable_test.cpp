#include "util/durable.h"

#include <gtest/gtest.h>

#include <linux/magic.h>

namespace {

// The one list answers both questions, and each as its caller always had
// it: FUSE is flushed file by file (syncfs may not reach its server), yet
// counts as answering over the network only by its mount type.
TEST(FsKind, EachTypeAnswersBothQuestions) {
    struct Case {
        long type;
        bool disk, server, network, fuse;
    } cases[] = {
        {long(TMPFS_MAGIC), false, false, false, false},      {long(RAMFS_MAGIC), false, false, false, false},
        {0x65735546 /* FUSE */, true, true, false, true},     {long(NFS_SUPER_MAGIC), true, true, true, false},
        {0xFF534D42 /* CIFS */, true, true, true, false},     {0xFE534D42 /* SMB2 */, true, true, true, false},
        {0x00c36400 /* CephFS */, true, true, true, false},   {long(EXT4_SUPER_MAGIC), true, false, false, false},
        {long(BTRFS_SUPER_MAGIC), true, false, false, false},
    };
    for (const Case& c : cases) {
        const FsKind k = fs_kind(c.type);
        EXPECT_EQ(k.disk, c.disk) << std::hex << c.type;
        EXPECT_EQ(k.server, c.server) << std::hex << c.type;
        EXPECT_EQ(k.network, c.network) << std::hex << c.type;
        EXPECT_EQ(k.fuse, c.fuse) << std::hex << c.type;
    }
}

}  // namespace
