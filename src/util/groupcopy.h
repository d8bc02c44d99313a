// The copy loop of the grouped jobs that read files (the store's -i and -o,
// a patch application's checks, the hashing of a walk), on a worker.
#pragma once

#include "util/hashgroup.h"
#include "util/pipeline.h"
#include "util/tempfile.h"

#include <exception>
#include <vector>

// Copies each entry's input (Fd in, named in_name()) into its temporary file
// (std::unique_ptr<TempFile> out, named out_name()), with the digest of what
// was copied in got; the small inputs of a group are hashed together. An
// entry without a temporary file (or without the field) is only read and
// hashed. prepare(e) runs
// first, in order: it makes what the entry needs (its temporary file, an
// input opened on the worker), or returns false for an entry with nothing to
// read. A failure, in prepare, the copy or the close, stops the group at its
// entry; every input copied is closed.
template <class Entry, class Prepare>
void copy_group(EntryGroup<Entry>& g, Prepare prepare) {
    std::vector<HashedCopy> cs;
    std::vector<Entry*> whose;
    for (Entry& e : g.entries) {
        try {
            if (!prepare(e)) continue;
        } catch (...) {
            g.fail(e, std::current_exception());
            break;
        }
        if constexpr (requires { e.out; })
            cs.push_back({e.in.get(), e.in_name(), e.out ? e.out->fd() : -1, e.out ? e.out_name() : nullptr, e.got});
        else
            cs.push_back({e.in.get(), e.in_name(), -1, nullptr, e.got});
        whose.push_back(&e);
    }
    std::exception_ptr err;
    const std::size_t done = copy_hashed_group(cs, &err);
    if (done < cs.size()) g.fail(*whose[done], err);
    for (std::size_t i = 0; i < done; ++i) {
        Entry& e = *whose[i];
        e.in = Fd();
        if constexpr (requires { e.out; }) {
            if (!e.out) continue;
            try {
                e.out->close();
            } catch (...) {
                g.fail(e, std::current_exception());
                break;
            }
        }
    }
}
