// FF1's batch scheduler: encryptMany sorts each job by its shape onto the
// road that takes it (lanes of 128-bit AES, vector groups, or the reference
// road), fills lanes and groups, and runs each when full or at the end.
#include <bit>
#include <cstring>

#include "support/bytes.h"
#include "ff1/internal/lanes.h"
#include "ff1/internal/prf.h"

namespace zorva {

namespace {

// The open group of shape n among groups; a new shape takes an empty group,
// or the fullest one once run has run it.
template <class G, std::size_t N, class Run>
G& openGroup(G (&groups)[N], std::size_t n, Run&& run) {
  G* group = nullptr;
  for (G& g : groups)
    if (g.count > 0 && g.n == n) group = &g;
  if (group == nullptr) {
    group = &groups[0];
    for (G& g : groups)
      if (g.count == 0 || (group->count != 0 && g.count > group->count)) group = &g;
    run(*group);
    group->n = n;
  }
  return *group;
}

}  // namespace

// A vector lane's constant block: the prefix state xor the head of the tail.
void Ff1::layBase(std::size_t n, std::string_view tweak, std::size_t pad, const std::uint8_t* head,
                  std::uint8_t* base) const {
  prefixState(n, tweak, pad, base);
  for (int i = 0; i < 16; i += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, base + i, 8);
    std::memcpy(&y, head + i, 8);
    x ^= y;
    std::memcpy(base + i, &x, 8);
  }
}

void Ff1::encryptMany(std::span<const Ff1Job> jobs) const {
  Batch batch;
  // A handful of values would wait on the vector rounds' longer chain.
  const bool vector = vector_ && jobs.size() >= 4;
  for (const Ff1Job& job : jobs) {
    checkPreconditions(job.numerals, job.out);
    const std::size_t n = job.numerals.size();
    const std::size_t u = n / 2, v = n - u;
    // v >= u, so radix^v fitting 64 bits covers radix^u as well.
    if (v >= powerCount_) {
      if (v + 1 - powerCount_ >= widePowerCount_) {
        encryptArbitrary(job.numerals, job.tweak, job.out);
        continue;
      }
      addWide(batch, job, vector);
      continue;
    }
    // b = bytes of radix^v - 1 (at most 8 here), d = 4 ceil(b/4) + 4 (at most
    // 12), so S is the first d bytes of R and y < 2^96.
    const std::uint64_t top = powers_[v].value() - 1;
    const auto b = static_cast<std::size_t>((std::bit_width(top) + 7) / 8);
    const std::size_t pad = padFor(job.tweak.size(), b);
    // The constant part of the tail: the last partial block of T || 0^pad,
    // with zeros where the round byte and NUM(B) go.
    alignas(8) std::uint8_t head[16] = {};
    layTailHead(job.tweak, pad, head);
    const auto a = static_cast<std::uint64_t>(num(job.numerals.data(), u));
    const auto bNum = static_cast<std::uint64_t>(num(job.numerals.data() + u, v));

    if (vector && b <= 4 && powers_[u].value() >= 256) {
      Group& group = openGroup(batch.groups, n, [this](Group& g) { runGroup(g); });
      const std::size_t l = group.count++;
      layBase(n, job.tweak, pad, head, group.bases[l]);
      group.a[l] = a;
      group.bNum[l] = bNum;
      group.owners[l] = &job;
      if (group.count == kGroupLanes) runGroup(group);
      continue;
    }

    Ff1Lane& lane = batch.lanes[batch.filled];
    prefixState(n, job.tweak, pad, batch.states[batch.filled]);
    lane.fixed = (u128(loadBE64(head)) << 64) | loadBE64(head + 8);
    lane.roundShift = static_cast<unsigned>(8 * b);
    lane.wide = b > 4;
    lane.a = a;
    lane.bNum = bNum;
    lane.moduli[0] = &powers_[u];
    lane.moduli[1] = &powers_[v];
    batch.owners[batch.filled++] = &job;
    if (batch.filled == kLanes) runLanes(batch);
  }
  runLanes(batch);
  runWideLanes(batch);
  runLongLanes(batch);
  for (Group& g : batch.groups) runGroup(g);
  for (WideGroup& g : batch.wideGroups) runWideGroup(g);
}

void Ff1::addWide(Batch& batch, const Ff1Job& job, bool vector) const {
  const std::size_t n = job.numerals.size();
  const std::size_t u = n / 2, v = n - u;
  // radix^v > 2^64 here, or exactly 2^64: b is 8 to 16 and d 12 to 20.
  const WideModulus& pu = widePowers_[u + 1 - powerCount_];
  const WideModulus& pv = widePowers_[v + 1 - powerCount_];
  const u128 top = pv.value() - 1;
  const auto topWord = static_cast<std::uint64_t>(top >> 64);
  const auto bits = topWord != 0 ? 128 - std::countl_zero(topWord) : std::bit_width(static_cast<std::uint64_t>(top));
  const auto b = static_cast<std::size_t>((bits + 7) / 8);
  const std::size_t d = 4 * ((b + 3) / 4) + 4;
  const std::size_t pad = padFor(job.tweak.size(), b);
  alignas(8) std::uint8_t head[16] = {};
  layTailHead(job.tweak, pad, head);
  // The vector lanes take y as all of R (b > 8) and moduli past 2^64 only.
  if (vector && wideVector_ && b >= 9 && b <= 12 && pu.value() > (u128(1) << 64)) {
    WideGroup& group = openGroup(batch.wideGroups, n, [this](WideGroup& g) { runWideGroup(g); });
    const std::size_t l = group.count++;
    layBase(n, job.tweak, pad, head, group.bases[l]);
    const u128 a = num(job.numerals.data(), u), bNum = num(job.numerals.data() + u, v);
    group.a[0][l] = static_cast<std::uint64_t>(a);
    group.a[1][l] = static_cast<std::uint64_t>(a >> 64);
    group.bNum[0][l] = static_cast<std::uint64_t>(bNum);
    group.bNum[1][l] = static_cast<std::uint64_t>(bNum >> 64);
    group.owners[l] = &job;
    if (group.count == kGroupLanes) runWideGroup(group);
    return;
  }
  if (b > 12) {
    Ff1LongLane& lane = batch.longLanes[batch.longFilled];
    prefixState(n, job.tweak, pad, batch.longStates[batch.longFilled]);
    lane.twoBlocks = b == 16;
    // At b = 16 the head is 15 bytes and the round byte closes its block.
    lane.fixed = (u128(loadBE64(head)) << 64) | loadBE64(head + 8);
    lane.roundShift = lane.twoBlocks ? 0 : static_cast<unsigned>(8 * b);
    lane.a = num(job.numerals.data(), u);
    lane.bNum = num(job.numerals.data() + u, v);
    lane.moduli[0] = &pu;
    lane.moduli[1] = &pv;
    batch.longOwners[batch.longFilled++] = &job;
    if (batch.longFilled == kLanes) runLongLanes(batch);
    return;
  }
  Ff1WideLane& lane = batch.wideLanes[batch.wideFilled];
  prefixState(n, job.tweak, pad, batch.wideStates[batch.wideFilled]);
  lane.fixed = (u128(loadBE64(head)) << 64) | loadBE64(head + 8);
  lane.roundShift = static_cast<unsigned>(8 * b);
  lane.yShift = static_cast<unsigned>(128 - 8 * d);
  lane.a = num(job.numerals.data(), u);
  lane.bNum = num(job.numerals.data() + u, v);
  lane.moduli[0] = &pu;
  lane.moduli[1] = &pv;
  batch.wideOwners[batch.wideFilled++] = &job;
  if (batch.wideFilled == kLanes) runWideLanes(batch);
}

}  // namespace zorva
