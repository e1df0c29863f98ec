// The member index of big objects: an open-addressing table of (hash, member) slots, so that a
// lookup costs one probe run in a flat array and one name comparison. Private to json/.
#pragma once

#include "json.h"

#include <bit>
#include <functional>
#include <vector>

namespace tavolex::json_detail {

template<class CharT>
class MemberIndex {
public:
    using Member = BasicJsonMember<CharT>;
    using View = std::basic_string_view<CharT>;

    static size_t Hash(View name) { return std::hash<View>{}(name); }

    // The first member of that name, or nullptr.
    Member* Find(View name, size_t hash) const
    {
        if (slots_.empty())
            return nullptr;
        size_t mask = slots_.size() - 1;
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            const Slot& slot = slots_[i];
            if (!slot.member)
                return nullptr;
            if (slot.hash == hash && View(slot.member->name()) == name)
                return slot.member;
        }
    }

    // Records a member. A name already present keeps its first member unless `first` is set
    // (a member added at the head of the list).
    void Insert(Member& member, size_t hash, bool first)
    {
        if ((count_ + 1) * 2 > slots_.size())
            Grow();
        size_t mask = slots_.size() - 1;
        View name = member.name();
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (!slot.member) {
                slot = {hash, &member};
                ++count_;
                return;
            }
            if (slot.hash == hash && View(slot.member->name()) == name) {
                if (first)
                    slot.member = &member;
                return;
            }
        }
    }

private:
    struct Slot {
        size_t hash = 0;
        Member* member = nullptr;
    };

    void Grow()
    {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(std::max<size_t>(64, old.size() * 2), Slot{});
        size_t mask = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (!slot.member)
                continue;
            size_t i = slot.hash & mask;
            while (slots_[i].member)
                i = (i + 1) & mask;
            slots_[i] = slot;
        }
    }

    std::vector<Slot> slots_; // a power of two in size, at most half full
    size_t count_ = 0;
};

} // namespace tavolex::json_detail
