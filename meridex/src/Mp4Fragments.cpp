#include "Mp4Fragments.h"

#include <functional>

namespace Meridex::mp4 {

namespace {

using TagLib::ByteVector;

std::uint64_t Number(const ByteVector& bytes, std::uint64_t at, unsigned size) {
  std::uint64_t value = 0;
  for (unsigned i = 0; i < size; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[static_cast<unsigned>(at + i)]);
  return value;
}

void PutNumber(ByteVector& bytes, std::uint64_t at, unsigned size, std::uint64_t value) {
  for (unsigned i = size; i-- > 0; value >>= 8) bytes[static_cast<unsigned>(at + i)] = static_cast<char>(value & 0xFF);
}

// A field of a box: where it lies and how many bytes it has.
struct Field {
  std::uint64_t at;
  unsigned size;
};

struct Fields {
  std::int64_t firstFragment = -1;
  std::vector<Field> bases, indexed;
};

// The boxes in [begin, end); false when one does not fit.
bool Walk(const ByteVector& content, std::uint64_t begin, std::uint64_t end, Fields& fields) {
  for (std::uint64_t at = begin; at + 8 <= end;) {
    std::uint64_t size = Number(content, at, 4), header = 8;
    const ByteVector type = content.mid(static_cast<unsigned>(at + 4), 4);
    if (size == 1) {
      if (at + 16 > end) return false;
      size = Number(content, at + 8, 8);
      header = 16;
    } else if (size == 0) {
      size = end - at;
    }
    if (size < header || size > end - at) return false;
    const std::uint64_t body = at + header;
    if (type == "moof") {
      if (fields.firstFragment < 0) fields.firstFragment = static_cast<std::int64_t>(at);
      if (!Walk(content, body, at + size, fields)) return false;
    } else if (type == "traf" || type == "mfra") {
      if (!Walk(content, body, at + size, fields)) return false;
    } else if (type == "tfhd" && size >= header + 16) {
      // version and flags, track id, then the base data offset when flag 1 is set
      if (Number(content, body + 1, 3) & 1) fields.bases.push_back({body + 8, 8});
    } else if (type == "tfra" && size >= header + 16) {
      const unsigned wide = static_cast<unsigned char>(content[static_cast<unsigned>(body)]) == 1 ? 8 : 4;
      const std::uint64_t lengths = Number(content, body + 8, 4);
      const std::uint64_t count = Number(content, body + 12, 4);
      const std::uint64_t entry = 2 * wide + ((lengths >> 4) & 3) + ((lengths >> 2) & 3) + (lengths & 3) + 3;
      if (count > (size - header - 16) / entry) return false;
      for (std::uint64_t i = 0; i < count; ++i) fields.indexed.push_back({body + 16 + i * entry + wide, wide});
    }
    at += size;
  }
  return true;
}

}  // namespace

FragmentOffsets FindFragmentOffsets(const ByteVector& content) {
  Fields fields;
  FragmentOffsets found;
  if (!Walk(content, 0, content.size(), fields)) return found;
  found.firstFragment = fields.firstFragment;
  for (const Field& f : fields.bases) found.bases.push_back(Number(content, f.at, f.size));
  for (const Field& f : fields.indexed) found.indexed.push_back(Number(content, f.at, f.size));
  return found;
}

bool RestoreFragmentOffsets(const FragmentOffsets& before, ByteVector& content) {
  if (before.firstFragment < 0) return true;
  Fields fields;
  if (!Walk(content, 0, content.size(), fields) || fields.firstFragment < 0 ||
      fields.bases.size() != before.bases.size() || fields.indexed.size() != before.indexed.size())
    return false;
  const std::int64_t moved = fields.firstFragment - before.firstFragment;
  const auto place = [&](const Field& field, std::uint64_t old) {
    const std::uint64_t now = old >= static_cast<std::uint64_t>(before.firstFragment) ? old + static_cast<std::uint64_t>(moved) : old;
    if (field.size == 4 && now > 0xFFFFFFFFu) return false;
    PutNumber(content, field.at, field.size, now);
    return true;
  };
  for (std::size_t i = 0; i < fields.bases.size(); ++i)
    if (!place(fields.bases[i], before.bases[i])) return false;
  for (std::size_t i = 0; i < fields.indexed.size(); ++i)
    if (!place(fields.indexed[i], before.indexed[i])) return false;
  return true;
}

}  // namespace Meridex::mp4
