// The session table: an open-addressing hash table from session identifier to
// stored session, built so that a lookup costs one round trip to memory no
// matter how many sessions are stored.
//
// Layout: one allocation holding `capacity` slots (each a whole CheckoutSession,
// its identifier being the key and up to three lines inline) followed by one
// control byte per slot. A control byte is 0 for an empty slot, otherwise 0x80
// plus seven bits of the key's hash, so probing reads the control bytes and
// compares a key only when those seven bits agree. Collisions are resolved by
// linear probing over a power-of-two capacity. Sessions are never removed; the
// table doubles once it would pass 85% load (so a table holds between 42.5% and
// 85% as many sessions as it has slots; a big table may wait for its next
// one up to 92%, see below).
//
// Growth is incremental, so no single insert pauses for long: doubling only
// allocates the new slots and keeps the old ones as a second table, and every
// insert after that moves the records of the next few old slots across
// (marking each moved slot, so the old probe chains stay intact). A lookup
// checks the new table and, while old slots remain, the old one, with both
// home slots prefetched together. The old table is drained long before the new
// one could fill, and it is released once empty.
//
// Big tables are mapped 2 MiB-aligned and advised for transparent huge pages.
// Faulting in a huge page clears 2 MiB at once (and on a virtual machine may
// wait for the host to back it), far too long to charge to the insert that
// happens to touch it first, several of which a doubling's first inserts would
// each pay. So the next table is mapped ahead, once the table passes 50% load,
// and a short-lived thread of its own faults it in; the doubling at 85% then
// moves records into memory that is already there. While that thread is still
// at work the current table takes more records, up to 92% load (a probe reads
// control bytes, which stay cheap to scan at that load); past that the next
// table is used all the same, and what the thread has not reached keeps
// ordinary pages, which records fault in cheaply as they arrive.
//
// A lookup computes the home slot from the hash and prefetches the slot's first
// and last byte (a slot can span two cache lines) before it reads the control
// byte, so the slot's misses overlap with the control byte's.
#pragma once

#include <cstddef>
#include <cstdint>

#include "session.hpp"

namespace corvane::detail {

struct TablePrefault;

// The hash of a session identifier under the store's random key.
//
// Every stored identifier comes from the operating system's random source (no
// caller chooses one), so its bits are already uniform and nobody can flood a
// probe sequence: a lookup with a chosen text only walks a chain that random
// keys made. What the hash must still do is spread identifiers that are not
// random (the version and variant bits, or the counted ones of a unit test)
// over the whole word, and differ from process to process, so a keyed
// multiply-xorshift mix of the two halves serves instead of a keyed PRF.
struct SeededHash {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
    std::size_t operator()(const Uuid& id) const noexcept {
        const auto [lo, hi] = id.words();
        std::uint64_t x = (lo ^ k0) * 0x9e3779b97f4a7c15ULL;
        x ^= hi ^ k1;
        x ^= x >> 32;
        x *= 0xd6e8feb86659fd93ULL;
        x ^= x >> 32;
        return static_cast<std::size_t>(x);
    }
};

class SessionTable {
public:
    explicit SessionTable(SeededHash hash = {}) noexcept : hash_(hash) {}
    SessionTable(const SessionTable&) = delete;
    SessionTable& operator=(const SessionTable&) = delete;
    ~SessionTable();

    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return cur_.capacity(); }
    bool empty() const noexcept { return size_ == 0; }

    // The session stored under id, or null.
    const CheckoutSession* find(const Uuid& id) const noexcept { return lookup(id); }
    CheckoutSession* find(const Uuid& id) noexcept { return lookup(id); }

    // Makes room for one more session, so that inserting one cannot fail. False
    // when the memory for the growth this needs cannot be had; the table is then
    // left exactly as it was.
    bool reserve_one() noexcept;

    // Stores record under its own identifier; a session already stored under it
    // is replaced. Only growth can fail (std::bad_alloc), and then the table is
    // left exactly as it was; after reserve_one nothing can.
    CheckoutSession& insert_or_assign(CheckoutSession&& record);

    // Bytes held by the table itself (slots and control bytes, old ones
    // included while a growth drains them and the next ones once mapped ahead);
    // heap blocks of spilled lines and customers are not counted.
    std::size_t footprint() const noexcept { return cur_.bytes + old_.bytes + next_.bytes; }
    // True while records are still moving from the slots before the last
    // doubling.
    bool growing() const noexcept { return old_.slots != nullptr; }
    // True while the slots of the next doubling are mapped ahead of it.
    bool prepared() const noexcept { return next_.slots != nullptr; }

    // Where the slots begin, and where the slots of the table being drained
    // begin (null when none is); for the engine's unit test.
    const void* slots_address() const noexcept { return cur_.slots; }
    const void* old_slots_address() const noexcept { return old_.slots; }
    // Waits until the memory of the next table is faulted in (at once when
    // none is being), so the unit test can look at a settled table.
    void wait_for_prefault() noexcept;

private:
    static constexpr std::uint8_t kEmpty = 0;
    static std::uint8_t tag_of(std::size_t hash) noexcept {
        return static_cast<std::uint8_t>(0x80 | (static_cast<std::uint64_t>(hash) >> 57));
    }

    // One array of slots with its control bytes.
    struct Slots {
        CheckoutSession* slots = nullptr;  // constructed where ctrl holds a tag
        std::uint8_t* ctrl = nullptr;      // one control byte per slot, right after the slots
        std::size_t mask = 0;              // capacity - 1
        std::size_t bytes = 0;             // size of the allocation
        std::size_t align = 0;             // its alignment

        std::size_t capacity() const noexcept { return mask + (slots != nullptr); }
        void prefetch(std::size_t hash) const noexcept {
            // The home slot's first and last byte (it can span two cache lines).
            const auto* home = reinterpret_cast<const char*>(slots + (hash & mask));
            __builtin_prefetch(home);
            __builtin_prefetch(home + sizeof(CheckoutSession) - 1);
        }
        CheckoutSession* probe(const Uuid& id, std::size_t hash, std::uint8_t tag) const noexcept {
            std::size_t i = hash & mask;
            for (;;) {
                const std::uint8_t c = ctrl[i];
                if (c == tag && slots[i].id == id) return slots + i;
                if (c == kEmpty) return nullptr;
                i = (i + 1) & mask;
            }
        }
        // Index of the first empty slot on the probe sequence of this hash
        // (there must be one).
        std::size_t free_slot(std::size_t hash) const noexcept {
            std::size_t i = hash & mask;
            while (ctrl[i] != kEmpty) i = (i + 1) & mask;
            return i;
        }
    };

    // Marks an old slot whose record has moved to the new table.
    static constexpr std::uint8_t kMoved = 1;

    CheckoutSession* lookup(const Uuid& id) const noexcept {
        if (cur_.slots == nullptr) return nullptr;
        const std::size_t hash = hash_(id);
        const std::uint8_t tag = tag_of(hash);
        // Prefetch before reading any control byte, so the slots' misses
        // overlap with the control bytes'.
        cur_.prefetch(hash);
        if (old_.slots != nullptr) old_.prefetch(hash);
        if (CheckoutSession* found = cur_.probe(id, hash, tag)) return found;
        return old_.slots != nullptr ? old_.probe(id, hash, tag) : nullptr;
    }

    bool full() const noexcept { return (size_ + 1) * 20 > capacity() * 17; }  // past 85% with one more
    bool due_to_prepare() const noexcept { return (size_ + 1) * 2 > capacity(); }  // past 50%
    bool past_limit() const noexcept { return (size_ + 1) * 25 > capacity() * 23; }    // past 92% with one more
    // True while the next table is still being faulted in, and this one may
    // take a few more records than its usual load allows instead.
    bool waiting_for_prefault() const noexcept;
    // Maps the next doubling's slots ahead of it, where they are big enough to
    // be mapped, and starts faulting them in. Nothing changes when that cannot
    // be done: the doubling then allocates as it would have.
    void prepare() noexcept;
    // Stops the thread faulting in memory, if one is still running, and waits
    // for it (one 2 MiB step at most).
    void end_prefault() noexcept;
    // Doubles the capacity; false when the memory cannot be had, and then the
    // table is unchanged (it allocates first; moving records cannot fail).
    bool grow() noexcept;
    // Moves the records of the next few old slots into the new table, and
    // releases the old table once it is drained.
    void migrate_step() noexcept;
    // Puts a record into the new table's first free slot on its probe sequence.
    CheckoutSession* place(CheckoutSession&& record, std::size_t hash) noexcept;

    SeededHash hash_;
    Slots cur_;                // where new records go
    Slots old_;                // the slots before the last doubling, until drained
    Slots next_;               // the slots of the next doubling, mapped ahead of it
    TablePrefault* prefault_ = nullptr;  // the last population started, until it ends
    std::size_t prepared_for_ = 0;       // the capacity the next table was last mapped for
    std::size_t cursor_ = 0;   // the next old slot to move
    std::size_t returned_ = 0; // bytes of old slots handed back to the system
    std::size_t size_ = 0;     // records in both
};

}  // namespace corvane::detail
