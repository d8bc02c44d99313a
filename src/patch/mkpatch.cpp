// Patch creation: compares a "from" source with a "to" tree and writes a
// patch directory, FILES (the entry lines of every file in which the two
// differ) and below new/ a copy of every file that "to" adds or changes.
// Workers hash the trees and make the copies; lines are printed, written
// and the copies published in manifest order.

#include "patch/patch.h"
#include "util/settings.h"
#include "patch/manifest.h"
#include "patch/dirs.h"
#include "stream/stream.h"
#include "stream/statcache.h"
#include "util/fatal.h"
#include "util/fileio.h"
#include "util/escape.h"
#include "util/guard.h"
#include "util/paths.h"
#include "util/pipeline.h"
#include "util/progress.h"
#include "util/publish.h"
#include "util/execbit.h"

#include <cstring>
#include <memory>
#include <unistd.h>

namespace {

// Takes every entry of the stream on path as an entry line with marker. An
// unsafe name (one that could lead an application out of the tree) is
// refused before anything is written.
void collect(const char* path, char marker, std::vector<std::string>& lines) {
    progress_phase("reading");
    StreamPtr s(openstream(path));
    each_entry(
        s.get(), nthreads,
        [&](std::string_view name, const char* digest) {
        if (!is_safe_relpath(name))
            fatal(1, "%s: unsafe path, no patch written: %.*s", path, int(name.size()), name.data());
        std::string line;
        line.reserve(ENTRY_PREFIX + name.size());
        line += marker;
        line.append(digest, MD5_HEX_LEN);
        line += "  ";
        line += name;
        lines.push_back(std::move(line));
        },
        run_cache());
}

struct Copy {
    std::string src;  // to/name
    std::string dst;  // patch/new/name
};

// Every path, composed and checked before the first byte is written: the
// copy each '+' line makes.
std::vector<Copy> plan_copies(const std::vector<std::string>& lines, const char* to, const std::string& root,
                              DirGuard& guard) {
    std::vector<Copy> copies(lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string_view name = entry_name(lines[i]);
        // A manifest line carries its name raw, and so does its echo on
        // standard output: a name with a control character (a line feed
        // would forge a line) goes into no manifest.
        if (has_control(name))
            fatal(1, "a name holds a control character, no patch written: %.*s", int(name.size()), name.data());
        if (lines[i].size() > MANIFEST_LINE_MAX)
            fatal(1, "name too long for a manifest line, no patch written: %s", lines[i].c_str() + ENTRY_PREFIX);
        if (lines[i][0] != '+') continue;
        const std::string rel = "new/" + std::string(name);
        if (!join_path(copies[i].src, to, name) || !join_path(copies[i].dst, root, rel))
            fatal(1, "path too long for %.*s, no patch written", int(name.size()), name.data());
        guard.check_or_die(root, rel);
    }
    return copies;
}

// One line of the manifest, and the copy it makes.
struct Item {
    const std::string* line;
    Fd in;
    std::unique_ptr<TempFile> out;
    const Copy* copy = nullptr;
    char hex[MD5_HEX_SIZE];
};

} // namespace

void mkpatch(const char* from, const char* to, const char* patch) {
    std::vector<std::string> lines;
    collect(from, '-', lines);
    collect(to, '+', lines);
    sort_and_cancel(lines);
    // A source that gives one path two digests would make a manifest that
    // no application takes.
    if (const std::string* l = repeated_entry(lines))
        fatal(1, "%s names %s twice, with different digests; no patch written", (*l)[0] == '-' ? from : to,
              l->c_str() + ENTRY_PREFIX);

    const std::string root(patch);
    DirGuard guard;
    const std::vector<Copy> copies = plan_copies(lines, to, root, guard);

    const std::string files = join_path_or_die(root, "FILES");
    TempFile manifest(files);
    // The old manifest would no longer describe new/ once the first copy is
    // replaced: a run that stops half-way leaves no FILES, so nothing
    // mistakes the directory for a usable patch. What an earlier application
    // recorded of its directories belongs to the old patch too.
    ::unlink(files.c_str());
    forget_dir_record(root);
    progress_phase("making a patch", lines.size());

    PublishBatch batch;
    // The copies are written in the patch's root and renamed into new/
    // through their directory opened at the rename: a queue of copies
    // waiting for the disk holds no directory open (a patch with thousands
    // of new directories would run out of descriptors), and a directory
    // swapped for a link meanwhile is refused, not followed.
    const DirRef top = guard.parent_or_die(root, "FILES", true);
    batch.resolve_dirs([&root, &guard](const std::string& dest, bool anew) {
        const std::string_view rel = std::string_view(dest).substr(root.size() + 1);
        if (anew) guard.forget(root, rel);
        return guard.parent_or_die(root, rel, true);
    });
    Pipeline p(nthreads);
    publishing(batch, [&] { p.run([&] {
        for (std::size_t i = 0; i < lines.size(); ++i) {
            auto it = std::make_shared<Item>();
            it->line = &lines[i];
            if (lines[i][0] == '+') {
                it->copy = &copies[i];
                // Made now, in manifest order; held only by the guard.
                guard.parent_or_die(root, std::string_view(it->copy->dst).substr(root.size() + 1), true);
                it->in = Fd(FOPENG_fd(it->copy->src.c_str(), __LINE__));
                it->out = std::make_unique<TempFile>(it->copy->dst, TempFile::In{root}, top);
            }
            p.submit(
                [it] {
                    if (!it->copy) return;
                    // The copy is hashed as it is made: a file changed since
                    // it was hashed would otherwise ship under a digest that
                    // is not its own.
                    copy_fd_hashed(it->in.get(), it->copy->src.c_str(), it->out->fd(), it->copy->dst.c_str(), it->hex);
                    // The copy under new/ carries the new file's mode.
                    carry_exec_bit(it->in.get(), it->out->fd(), it->copy->dst.c_str());
                    it->in = Fd();
                    it->out->close();
                },
                [it, &manifest, &files, &batch] {
                    const std::string& line = *it->line;
                    out_printf("%s\n", line.c_str());
                    write_all(manifest.get(), line.data(), line.size(), files.c_str());
                    write_all(manifest.get(), "\n", 1, files.c_str());
                    progress_file();
                    if (!it->copy) return;
                    if (std::memcmp(it->hex, entry_digest(line).data(), MD5_HEX_LEN) != 0)
                        fatal(1, "%s changed while the patch was being made", it->copy->src.c_str());
                    batch.add(std::move(it->out), 0, {}, it->copy->dst);
                });
        }
    }); });
    // Every line reached standard output before the manifest is published:
    // a patch whose listing was lost must not look complete.
    flush_stdout();
    manifest.commit();
}
