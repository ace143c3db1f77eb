#include "reference_codec.h"

#include <cstddef>

namespace zq::reference {
namespace {

struct Tree {
    std::vector<int> parent, child0, child1;
    explicit Tree(int n) : parent(2 * n + 1), child0(n), child1(n) {
        for (int i = 1; i <= 2 * n; ++i) parent[i] = (i - 1) / 2;
        for (int i = 0; i < n; ++i) {
            child0[i] = 2 * i + 1;
            child1[i] = 2 * i + 2;
        }
    }
    void splay(int a) {
        while (true) {
            int p = parent[a];
            if (p == 0) return;
            int g = parent[p];
            int u;
            if (child0[g] == p) {
                u = child1[g];
                child1[g] = a;
            } else {
                u = child0[g];
                child0[g] = a;
            }
            if (child0[p] == a)
                child0[p] = u;
            else
                child1[p] = u;
            parent[a] = g;
            parent[u] = p;
            a = g;
            if (a == 0) return;
        }
    }
};

struct Models {
    std::vector<Tree> literal = std::vector<Tree>(128, Tree(256));
    Tree length{31};
    std::vector<int> slots = std::vector<int>(8192, 0);
};

int hash(int x3, int x2, int x1) { return ((((x2 & 0xF8) ^ x3) * 4 ^ (x2 & 7)) * 8) ^ x1; }

uint8_t subst(int i) {
    int a = 1;
    if (i == 0) return 0;
    for (int k = 0; k < i; ++k) {
        a *= 2;
        if (a >= 256) a ^= 0x12D;
    }
    return static_cast<uint8_t>(a);
}

struct Writer {
    std::vector<int> bits;
    void code(Tree& t, int leaf) {
        std::vector<int> path;
        for (int a = leaf; a != 0; a = t.parent[a]) path.push_back(t.child1[t.parent[a]] == a);
        t.splay(leaf);
        bits.insert(bits.end(), path.rbegin(), path.rend());
    }
};

struct Reader {
    const std::vector<uint8_t>& bytes;
    std::size_t next_bit = 0;
    bool bit(int& out) {
        if (next_bit >= bytes.size() * 8) return false;
        out = (bytes[next_bit / 8] >> (7 - next_bit % 8)) & 1;
        ++next_bit;
        return true;
    }
    bool symbol(Tree& t, int n, int& out) {
        int node = 0;
        while (node < n) {
            int b;
            if (!bit(b)) return false;
            node = b ? t.child1[node] : t.child0[node];
        }
        t.splay(node);
        out = node - n;
        return true;
    }
    // Whole bytes touched so far.
    std::size_t bytes_used() const { return (next_bit + 7) / 8; }
};

}  // namespace

std::vector<uint8_t> encode(const std::vector<uint8_t>& in) {
    const std::size_t n = in.size();
    std::vector<uint8_t> frame;
    if (n >= 3) {
        Models m;
        Writer w;
        w.code(m.literal[0], 256 + in[0]);
        w.code(m.literal[in[0] & 0x7F], 256 + in[1]);
        std::size_t pos = 2;
        while (pos < n) {
            w.code(m.literal[in[pos - 1] & 0x7F], 256 + in[pos]);
            ++pos;
            int x1 = in[pos - 1], x2 = in[pos - 2];
            int& slot = m.slots[hash(in[pos - 3], x2, x1)];
            int v = slot;
            if (v == 1) continue;
            if (v == 0 || in[v - 1] != x1 || in[v - 2] != x2) {
                slot = static_cast<int>(pos);
                continue;
            }
            slot = (pos == n || in[v] == in[pos] || x1 == x2) ? static_cast<int>(pos) : 1;
            std::size_t src = v;
            while (true) {
                std::size_t k = 0;
                while (k < 31 && pos + k < n && in[pos + k] == in[src + k]) ++k;
                pos += k;
                src += k;
                w.code(m.length, 31 + static_cast<int>(k));
                if (k < 31) break;
            }
        }
        w.code(m.literal[in[n - 1] & 0x7F], 256 + 256);
        std::size_t payload = (w.bits.size() + 7) / 8;
        if (payload < n) {
            frame.assign(2 + payload, 0);
            frame[0] = static_cast<uint8_t>(payload >> 8);
            frame[1] = static_cast<uint8_t>(payload);
            for (std::size_t i = 0; i < w.bits.size(); ++i) {
                if (w.bits[i]) frame[2 + i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
            }
            return frame;
        }
    }
    frame.push_back(static_cast<uint8_t>(((n >> 8) & 0x7F) | 0x80));
    frame.push_back(static_cast<uint8_t>(n));
    uint8_t table[256];
    for (int i = 0; i < 256; ++i) table[i] = subst(i);
    for (uint8_t b : in) frame.push_back(table[b]);
    return frame;
}

bool decode(const std::vector<uint8_t>& payload, bool substituted, std::vector<uint8_t>& out) {
    out.clear();
    if (substituted) {
        uint8_t inverse[256];
        for (int i = 0; i < 256; ++i) inverse[subst(i)] = static_cast<uint8_t>(i);
        for (uint8_t b : payload) out.push_back(inverse[b]);
        return true;
    }
    Models m;
    Reader r{payload};
    int s;
    if (!r.symbol(m.literal[0], 256, s)) return false;
    out.push_back(static_cast<uint8_t>(s));
    if (!r.symbol(m.literal[out[0] & 0x7F], 256, s)) return false;
    out.push_back(static_cast<uint8_t>(s));
    while (true) {
        if (!r.symbol(m.literal[out.back() & 0x7F], 256, s)) return false;
        if (s == 256) return r.bytes_used() == payload.size();
        if (out.size() == 32768) return false;
        out.push_back(static_cast<uint8_t>(s));
        std::size_t pos = out.size();
        int x1 = out[pos - 1], x2 = out[pos - 2];
        int& slot = m.slots[hash(out[pos - 3], x2, x1)];
        int v = slot;
        if (v == 1) continue;
        if (v == 0 || out[v - 1] != x1 || out[v - 2] != x2) {
            slot = static_cast<int>(pos);
            continue;
        }
        int k;
        if (!r.symbol(m.length, 31, k)) return false;
        slot = (k == 0 && x1 != x2) ? 1 : static_cast<int>(pos);
        std::size_t src = v;
        while (true) {
            if (out.size() + k > 32768) return false;
            for (int j = 0; j < k; ++j) out.push_back(out[src++]);
            if (k != 31) break;
            if (!r.symbol(m.length, 31, k)) return false;
        }
    }
}

}  // namespace zq::reference
