"""An archive as the "from" side of a patch: only its table is read."""

import mdt


def slurp(path):
    with open(path, "rb") as f:
        return f.read()


class ArchiveAsPatchSource(mdt.TreeTest):
    def test_patch_from_an_archive_equals_the_patch_from_its_tree(self):
        old = mdt.make_tree(self.path("old"), {"same": "s\n", "changed": "v1\n", "gone": "g\n",
                                               "d/dup1": "dup\n", "d/dup2": "dup\n"})
        new = mdt.make_tree(self.path("new"), {"same": "s\n", "changed": "v2\n", "added": "a\n",
                                               "d/dup1": "dup\n"})
        arch = self.path("old.mdt")
        self.assertOk(mdt.run(["-f", old, "-a", arch]))
        from_tree = mdt.run(["-f", old, "-t", new, "-p", self.path("p-tree")])
        from_arch = mdt.run(["-f", arch, "-t", new, "-p", self.path("p-arch")])
        self.assertOk(from_tree)
        self.assertOk(from_arch)
        self.assertEqual(from_arch.stdout, from_tree.stdout)
        self.assertTreesEqual(self.path("p-tree"), self.path("p-arch"))
        self.assertIn(b"gone", slurp(self.path("p-arch", "FILES")))


if __name__ == "__main__":
    import unittest
    unittest.main()
