#include "crash/crash_states.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <set>

namespace tollmar::crash {
namespace {

void apply(std::string& content, const op& o, std::int64_t keep) {
    if (o.kind == op_kind::truncate) {
        content.resize(static_cast<std::size_t>(o.length), '\0');
        return;
    }
    const std::size_t at = static_cast<std::size_t>(o.offset);
    const std::size_t n = static_cast<std::size_t>(keep);
    if (content.size() < at + n) content.resize(at + n, '\0');
    content.replace(at, n, o.data, 0, n);
}

bool is_file_change(const op& o) {
    return o.kind == op_kind::write || o.kind == op_kind::truncate;
}
bool is_folder_change(const op& o) {
    return o.kind == op_kind::create || o.kind == op_kind::rename || o.kind == op_kind::link ||
           o.kind == op_kind::unlink;
}

void apply_folder(std::map<std::string, int>& names, const op& o) {
    switch (o.kind) {
        case op_kind::create:
            names[o.name] = o.inode;
            break;
        case op_kind::rename: {
            const auto it = names.find(o.name);
            if (it == names.end()) break;
            const int file = it->second;
            names.erase(it);
            names[o.name2] = file;
            break;
        }
        case op_kind::link: {
            const auto it = names.find(o.name);
            if (it != names.end()) names[o.name2] = it->second;
            break;
        }
        case op_kind::unlink:
            names.erase(o.name);
            break;
        default:
            break;
    }
}

// What is certainly on disk after the first `prefix` operations, and what
// since the last syncs may or may not be.
struct point {
    std::map<std::string, int> names;                 // entries as of the folder's last fsync
    std::vector<std::size_t> folder_pending;          // folder operations since
    std::map<int, std::string> durable;               // file -> bytes as of its last fsync
    std::map<int, std::vector<std::size_t>> pending;  // file -> changes since
};

point point_at(const std::vector<initial_file>& initial, const std::vector<op>& ops,
               std::size_t prefix) {
    point p;
    for (const initial_file& f : initial) {
        for (const std::string& name : f.names) p.names[name] = f.inode;
        p.durable[f.inode] = f.content;
    }
    for (std::size_t i = 0; i < prefix; ++i) {
        const op& o = ops[i];
        if (is_folder_change(o)) {
            p.folder_pending.push_back(i);
            if (o.kind == op_kind::create) p.durable[o.inode];
        } else if (o.kind == op_kind::folder_sync) {
            for (std::size_t j : p.folder_pending) apply_folder(p.names, ops[j]);
            p.folder_pending.clear();
        } else if (is_file_change(o)) {
            p.pending[o.inode].push_back(i);
        } else if (o.kind == op_kind::fsync) {
            for (std::size_t j : p.pending[o.inode])
                apply(p.durable[o.inode], ops[j], ops[j].length);
            p.pending.erase(o.inode);
        }
    }
    for (auto it = p.pending.begin(); it != p.pending.end();)
        it = it->second.empty() ? p.pending.erase(it) : std::next(it);
    return p;
}

// One choice among the states of a point: how many of the pending folder
// operations are kept, and for each file which of its pending changes are,
// and how many bytes of the last kept one (-1: all).
struct choice {
    std::size_t folder_kept;
    std::map<int, std::vector<bool>> kept;
    std::map<int, std::int64_t> last_part;
};

crash_state build(const point& p, const std::vector<op>& ops, std::size_t prefix, const choice& c,
                  bool acknowledged) {
    crash_state s;
    s.prefix = prefix;
    s.acknowledged = acknowledged;
    s.names = p.names;
    for (std::size_t k = 0; k < p.folder_pending.size(); ++k) {
        if (k < c.folder_kept)
            apply_folder(s.names, ops[p.folder_pending[k]]);
        else
            s.lost.push_back(p.folder_pending[k]);
    }
    std::set<int> reachable;
    for (const auto& [name, file] : s.names) reachable.insert(file);
    for (int file : reachable) {
        const auto d = p.durable.find(file);
        std::string content = d == p.durable.end() ? std::string() : d->second;
        const auto pend = p.pending.find(file);
        if (pend != p.pending.end()) {
            const std::vector<bool>& keep = c.kept.at(file);
            std::size_t last = pend->second.size();
            for (std::size_t k = 0; k < keep.size(); ++k)
                if (keep[k]) last = k;
            for (std::size_t k = 0; k < pend->second.size(); ++k) {
                const op& o = ops[pend->second[k]];
                if (!keep[k]) {
                    s.lost.push_back(pend->second[k]);
                    continue;
                }
                std::int64_t part = o.length;
                if (k == last && o.kind == op_kind::write && c.last_part.at(file) >= 0) {
                    part = c.last_part.at(file);
                    s.partial.emplace_back(pend->second[k], part);
                }
                apply(content, o, part);
            }
        }
        s.contents[file] = std::move(content);
    }
    std::sort(s.lost.begin(), s.lost.end());
    return s;
}

std::size_t fingerprint(const crash_state& s) {
    std::size_t h = 0;
    auto mix = [&h](std::size_t v) { h ^= v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2); };
    mix(s.acknowledged ? 1 : 0);
    for (const auto& [name, file] : s.names) {
        mix(std::hash<std::string>{}(name));
        mix(std::hash<std::string>{}(s.contents.at(file)));
    }
    return h;
}

// Length of the last pending write of a file's kept set, 0 when none.
std::int64_t last_kept_write(const point& p, const std::vector<op>& ops, int file,
                             const std::vector<bool>& keep) {
    const std::vector<std::size_t>& pend = p.pending.at(file);
    for (std::size_t k = keep.size(); k-- > 0;)
        if (keep[k]) return ops[pend[k]].kind == op_kind::write ? ops[pend[k]].length : 0;
    return 0;
}

}  // namespace

std::vector<crash_state> crash_states(const std::vector<initial_file>& initial,
                                      const std::vector<op>& ops, const exploration_limits& limits,
                                      std::size_t acknowledged_at) {
    std::vector<crash_state> out;
    std::set<std::size_t> seen;
    auto add = [&](crash_state s) {
        if (seen.insert(fingerprint(s)).second) out.push_back(std::move(s));
    };
    for (std::size_t prefix = 0; prefix <= ops.size(); ++prefix) {
        // A sync, a hint or a close adds no new state, but the answer makes
        // the same states new ones.
        if (prefix > 0 && prefix != acknowledged_at && !is_file_change(ops[prefix - 1]) &&
            !is_folder_change(ops[prefix - 1]))
            continue;
        const point p = point_at(initial, ops, prefix);
        const bool acknowledged = prefix >= acknowledged_at;
        // The number of states: folder prefixes times, per file, every
        // subset of its changes with the last kept one whole or cut.
        double total = static_cast<double>(p.folder_pending.size() + 1);
        for (const auto& [file, pend] : p.pending) total *= 2.0 * std::pow(2.0, pend.size());
        std::mt19937_64 random(limits.seed * 1000003u + prefix);
        auto extreme = [&](bool all) {
            choice c{all ? p.folder_pending.size() : 0, {}, {}};
            for (const auto& [file, pend] : p.pending) {
                c.kept[file] = std::vector<bool>(pend.size(), all);
                c.last_part[file] = -1;
            }
            return c;
        };
        add(build(p, ops, prefix, extreme(true), acknowledged));
        add(build(p, ops, prefix, extreme(false), acknowledged));
        if (total <= static_cast<double>(limits.per_point)) {
            // Every choice, counted through as one mixed-radix number.
            std::vector<std::size_t> radix{p.folder_pending.size() + 1};
            for (const auto& [file, pend] : p.pending)
                radix.push_back(std::size_t{2} << pend.size());
            std::vector<std::size_t> digit(radix.size(), 0);
            for (;;) {
                choice c{digit[0], {}, {}};
                std::size_t r = 1;
                for (const auto& [file, pend] : p.pending) {
                    const std::size_t mask = digit[r] >> 1;
                    std::vector<bool> keep(pend.size());
                    for (std::size_t k = 0; k < pend.size(); ++k) keep[k] = (mask >> k) & 1;
                    c.kept[file] = keep;
                    const std::int64_t n = last_kept_write(p, ops, file, keep);
                    c.last_part[file] = (digit[r] & 1) != 0 && n > 1 ? n / 2 : -1;
                    ++r;
                }
                add(build(p, ops, prefix, c, acknowledged));
                std::size_t i = 0;
                while (i < digit.size() && ++digit[i] == radix[i]) digit[i++] = 0;
                if (i == digit.size()) break;
            }
            continue;
        }
        for (std::size_t n = 0; n < limits.per_point; ++n) {
            choice c{static_cast<std::size_t>(random() % (p.folder_pending.size() + 1)), {}, {}};
            for (const auto& [file, pend] : p.pending) {
                std::vector<bool> keep(pend.size());
                for (std::size_t k = 0; k < pend.size(); ++k) keep[k] = (random() & 1) != 0;
                c.kept[file] = keep;
                const std::int64_t len = last_kept_write(p, ops, file, keep);
                c.last_part[file] = random() % 3 == 0 && len > 1
                                        ? 1 + static_cast<std::int64_t>(random() % (len - 1))
                                        : -1;
            }
            add(build(p, ops, prefix, c, acknowledged));
        }
    }
    return out;
}

std::string explain(const crash_state& state, const std::vector<op>& ops) {
    std::string text;
    for (std::size_t i = 0; i < state.prefix; ++i) {
        const bool lost = std::binary_search(state.lost.begin(), state.lost.end(), i);
        std::string mark = lost ? "  lost  " : "  kept  ";
        for (const auto& [at, bytes] : state.partial)
            if (at == i) mark = "  part  ";
        text += mark + std::to_string(i) + " " + describe(ops[i]);
        for (const auto& [at, bytes] : state.partial)
            if (at == i) text += " (first " + std::to_string(bytes) + " bytes)";
        text += "\n";
    }
    if (state.prefix < ops.size())
        text += "  (cut here: " + std::to_string(ops.size() - state.prefix) +
                " later operations never issued)\n";
    if (state.acknowledged) text += "  (the client had been told the rewrite was done)\n";
    return text;
}

}  // namespace tollmar::crash
