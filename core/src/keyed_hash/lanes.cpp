// KeyedHash's batched HMACs over interleaved SHA-256 lanes: hmacMany, and
// digestMany and expandMany, which lay their messages into its batches.
#include "keyed_hash/keyed_hash.h"

#include <algorithm>
#include <cstring>

#include "support/bytes.h"
#include "keyed_hash/internal/blocks.h"
#include "support/scratch.h"
#include "sha256/lanes.h"

namespace zorva {
namespace {

// The outer hash's one block: the inner tag, then its padding.
void layOuterBlock(const sha256::State& innerState, std::uint8_t* block) noexcept {
  putStateWide(innerState, block);
  padLastBlock(block, 32);
}

// One message of hmacMany on its way through the inner hash (64-byte blocks
// of a || b, then the padding; the key block is already in the state) and
// then the one block of the outer hash.
struct HmacLane {
  const HmacJob* job;
  std::size_t offset;  // inner message bytes already laid into blocks
  std::size_t padded;  // the inner message's length with its padding
  bool outer;
  alignas(16) std::uint8_t block[64];

  void start(const HmacJob& j) noexcept {
    job = &j;
    offset = 0;
    padded = (j.aLength + j.bLength + 9 + 63) / 64 * 64;
    outer = false;
  }

  // Lays the next inner block: message bytes, then 0x80 right after the
  // message, zeros, and in the last block the bit length, counting the key
  // block before the message.
  void layInnerBlock() noexcept {
    const HmacJob& j = *job;
    const std::size_t total = j.aLength + j.bLength;
    std::size_t n = 0;
    for (std::size_t p = offset; n < 64 && p < total; p = offset + n) {
      const bool inA = p < j.aLength;
      const std::uint8_t* from = inA ? j.a + p : j.b + (p - j.aLength);
      const std::size_t take = std::min(64 - n, inA ? j.aLength - p : total - p);
      std::memcpy(block + n, from, take);
      n += take;
    }
    if (n < 64) {
      std::memset(block + n, 0, 64 - n);
      if (offset + n == total) block[n] = 0x80;
      if (offset + 64 == padded) putBE(block + 56, (64 + std::uint64_t{total}) * 8, 8);
    }
    offset += 64;
  }

  void startOuter(const sha256::State& innerState) noexcept {
    layOuterBlock(innerState, block);
    outer = true;
  }
};

}  // namespace

void KeyedHash::hmacMany(std::span<const HmacJob> jobs) const {
  // A lone message gains nothing from lanes, and OpenSSL's own code finishes
  // it sooner.
  if (!lanes_ || jobs.size() == 1) {
    for (const HmacJob& j : jobs) hmacInto(j.a, j.aLength, j.b, j.bLength, j.out);
    return;
  }
  // The usual batch: messages of at most 55 bytes, one inner block each with
  // its padding. Laid all at once, they need none of the lane bookkeeping.
  std::size_t done = 0;
  {
    OneBlockBatch batch(inner_, outer_);
    while (done < jobs.size() && jobs[done].aLength + jobs[done].bLength <= kOneBlock) {
      const HmacJob& j = jobs[done++];
      layOneBlock(batch.add(j.out), j.a, j.aLength, j.b, j.bLength);
      if (batch.full()) batch.flush();
    }
    batch.flush();
  }
  jobs = jobs.subspan(done);
  if (jobs.size() == 1) {
    hmacInto(jobs[0].a, jobs[0].aLength, jobs[0].b, jobs[0].bLength, jobs[0].out);
    return;
  }
#ifdef ZORVA_COUNTING
  for (const HmacJob& j : jobs) countHmacs(1, j.aLength + j.bLength);
#endif
  HmacLane lanes[kHmacLanes];
  sha256::State states[kHmacLanes];
  const std::uint8_t* blocks[kHmacLanes];
  std::size_t active = 0;
  std::size_t next = 0;
  auto start = [&](std::size_t slot) {
    lanes[slot].start(jobs[next++]);
    std::memcpy(states[slot].h, inner_.h, sizeof states[slot].h);
  };
  while (active < kHmacLanes && next < jobs.size()) start(active++);
  while (active > 0) {
    for (std::size_t l = 0; l < active; ++l) {
      if (!lanes[l].outer) lanes[l].layInnerBlock();
      blocks[l] = lanes[l].block;
    }
    sha256::compress(states, blocks, active);
    for (std::size_t l = 0; l < active;) {
      HmacLane& lane = lanes[l];
      if (!lane.outer) {
        if (lane.offset == lane.padded) {
          lane.startOuter(states[l]);
          std::memcpy(states[l].h, outer_.h, sizeof states[l].h);
        }
        ++l;
        continue;
      }
      putState(states[l], lane.job->out);
      // A finished lane takes the next message; with none left, the last
      // lane moves into its place so that the active lanes stay in front.
      if (next < jobs.size()) {
        start(l++);
      } else if (l != --active) {
        lanes[l] = lanes[active];
        states[l] = states[active];
      }
    }
  }
}

void KeyedHash::digestMany(std::span<const std::string_view> data, std::string_view label, Digest* out) const {
  // label || 0x00, the same for every message of the batch.
  Scratch<128> prefix(label.size() + 1);
  copyBytes(prefix.data(), label);
  prefix.data()[label.size()] = 0x00;
  const std::size_t prefixLength = label.size() + 1;
  constexpr std::size_t kGroup = 64;
  HmacJob jobs[kGroup];
  if (lanes_ && data.size() > 1) {
    // Messages that fit one block are laid straight into it; the rest keep
    // the general road.
    OneBlockBatch batch(inner_, outer_);
    std::size_t others = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
      const std::string_view d = data[i];
      if (prefixLength + d.size() <= kOneBlock) {
        layOneBlock(batch.add(out[i].data()), prefix.data(), prefixLength, d.data(), d.size());
        if (batch.full()) batch.flush();
      } else {
        jobs[others++] = HmacJob{prefix.data(), prefixLength, reinterpret_cast<const std::uint8_t*>(d.data()), d.size(),
                                 out[i].data()};
        if (others == kGroup) {
          hmacMany({jobs, others});
          others = 0;
        }
      }
    }
    batch.flush();
    hmacMany({jobs, others});
    return;
  }
  for (std::size_t from = 0; from < data.size(); from += kGroup) {
    const std::size_t count = std::min(kGroup, data.size() - from);
    for (std::size_t k = 0; k < count; ++k) {
      const std::string_view d = data[from + k];
      jobs[k] = HmacJob{prefix.data(), prefixLength, reinterpret_cast<const std::uint8_t*>(d.data()), d.size(),
                        out[from + k].data()};
    }
    hmacMany({jobs, count});
  }
}

namespace {

// label || 0x23 || BE(i, 4) || 0x00: the prefix of block i of a stream.
void layBlockPrefix(std::uint8_t* p, std::string_view label, std::uint32_t block) noexcept {
  if (label.size() <= 64)
    copyShort(p, label.data(), label.size());
  else
    copyBytes(p, label);
  p[label.size()] = 0x23;
  putBE32(p + label.size() + 1, block);
  p[label.size() + 5] = 0x00;
}

// Where a stream's last, partial block goes once its tag is known.
struct PartialBlock {
  std::uint8_t* out;
  const std::uint8_t* tag;
  std::size_t length;
};

}  // namespace

void KeyedHash::expandMany(std::span<const ExpandJob> jobs) const {
  // Blocks per HMAC batch, each with its own copy of the prefix
  // label || 0x23 || BE(i, 4) || 0x00; a longer label is expanded on its own.
  constexpr std::size_t kGroup = 32;
  constexpr std::size_t kLabel = 48;
  std::uint8_t prefixes[kGroup][kLabel + 6];
  std::uint8_t tags[kGroup][32];
  HmacJob hmacs[kGroup];
  std::uint8_t* partial[kGroup];  // where a last, partial block goes
  std::size_t partialLength[kGroup];
  std::size_t count = 0;
  auto flush = [&] {
    hmacMany({hmacs, count});
    for (std::size_t k = 0; k < count; ++k)
      if (partial[k] != nullptr) std::memcpy(partial[k], tags[k], partialLength[k]);
    count = 0;
  };
  // Streams whose block message (prefix and data) fits one block: each block
  // laid straight into the batch, and each tag written in place but a last,
  // partial one.
  OneBlockBatch batch(inner_, outer_);
  std::uint8_t batchTags[OneBlockBatch::kBlocks][32];
  PartialBlock partials[OneBlockBatch::kBlocks];
  std::size_t partialCount = 0;
  auto flushBatch = [&] {
    batch.flush();
    for (std::size_t k = 0; k < partialCount; ++k) copyShort(partials[k].out, partials[k].tag, partials[k].length);
    partialCount = 0;
  };
  for (const ExpandJob& job : jobs) {
    const std::size_t prefixLen = job.label.size() + 6;
    const auto* data = reinterpret_cast<const std::uint8_t*>(job.data.data());
    if (lanes_ && prefixLen + job.data.size() <= kOneBlock) {
      for (std::size_t at = 0, block = 0; at < job.length; at += 32, ++block) {
        if (batch.full()) flushBatch();
        const bool whole = at + 32 <= job.length;
        std::uint8_t* tag = whole ? job.out + at : batchTags[batch.size()];
        if (!whole) partials[partialCount++] = PartialBlock{job.out + at, tag, job.length - at};
        layStreamBlock(batch.add(tag), job.label, static_cast<std::uint32_t>(block), data, job.data.size());
      }
      continue;
    }
    if (job.label.size() > kLabel) {
      // A long label: its blocks one at a time, through one prefix of its own.
      // The counter is 32 bits wide; 2^32 blocks (128 GiB) is beyond any caller.
      Scratch<128> prefix(prefixLen);
      for (std::size_t at = 0, block = 0; at < job.length; at += 32, ++block) {
        layBlockPrefix(prefix.data(), job.label, static_cast<std::uint32_t>(block));
        std::uint8_t tag[32];
        hmacInto(prefix.data(), prefixLen, data, job.data.size(), tag);
        std::memcpy(job.out + at, tag, std::min<std::size_t>(32, job.length - at));
      }
      continue;
    }
    for (std::size_t at = 0, block = 0; at < job.length; at += 32, ++block) {
      layBlockPrefix(prefixes[count], job.label, static_cast<std::uint32_t>(block));
      const bool whole = at + 32 <= job.length;
      partial[count] = whole ? nullptr : job.out + at;
      partialLength[count] = job.length - at;
      hmacs[count] = HmacJob{prefixes[count], prefixLen, data, job.data.size(), whole ? job.out + at : tags[count]};
      if (++count == kGroup) flush();
    }
  }
  flushBatch();
  if (count > 0) flush();
}

}  // namespace zorva
