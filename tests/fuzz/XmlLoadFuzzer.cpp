// Feeds arbitrary text to the XML reader and writes back whatever it built.
//
// The bytes are read as UTF-8 where they form valid sequences and as single
// characters (0-255) elsewhere, so that seeds stay readable XML while any
// wide character can still occur. The text ends at the first NUL.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "foundation/XmlNode.h"

namespace {

std::vector<wchar_t> Widen(const std::uint8_t* data, std::size_t size) {
  std::vector<wchar_t> text;
  text.reserve(size + 1);
  std::size_t i = 0;
  while (i < size) {
    const std::uint8_t b = data[i];
    const std::size_t extra = b >= 0xF0 && b < 0xF5 ? 3 : b >= 0xE0 ? 2 : b >= 0xC2 && b < 0xE0 ? 1 : 0;
    std::uint32_t c = extra == 3 ? b & 0x07u : extra == 2 ? b & 0x0Fu : b & 0x1Fu;
    bool valid = extra > 0;
    for (std::size_t k = 1; valid && k <= extra; ++k) {
      if (i + k >= size || (data[i + k] & 0xC0) != 0x80) {
        valid = false;
      } else {
        c = (c << 6) | (data[i + k] & 0x3Fu);
      }
    }
    if (valid && c <= 0x10FFFF) {
      text.push_back(static_cast<wchar_t>(c));
      i += extra + 1;
    } else {
      text.push_back(static_cast<wchar_t>(b));
      ++i;
    }
  }
  text.push_back(0);
  return text;
}

void Check(bool condition) {
  if (!condition) std::abort();
}

void Exercise(XmlNode& node, const wchar_t* text, std::size_t length, XmlParseOptions& opt) {
  const wchar_t* end = node.Load(text, &opt);
  Check(!end || (end >= text && end <= text + length));
  if (opt.ErrorOccurred) {
    Check(opt.ErrorCode >= 1 && opt.ErrorCode <= 5);
    Check(opt.ErrorPosition >= text && opt.ErrorPosition <= text + length);
    Check(!opt.ErrorMessage.IsEmpty());
  }
  XmlWriteOptions indented;
  XmlWriteOptions flat;
  flat.NewLine = false;
  flat.ReferenceValue = false;
  const CString xml = node.GetXml(&indented);
  Check(indented.TabBase == 0);
  (void)node.GetXml(&flat);
  (void)node.GetText(&indented);
  (void)node.GetText(&flat);
  if (XmlNode* child = node.GetChild(0)) {
    (void)node.FindChild(child->name);
    (void)node.GetChildren(child->name);
    (void)node.GetChildText(child->name);
    if (!child->attributes.empty())
      (void)node.FindChildWithAttribute(child->name, child->attributes[0]->name, L"x");
  }
  // What the writer produced must be readable again without harm.
  XmlNode again;
  XmlParseOptions fresh;
  const wchar_t* againEnd = again.Load(xml, &fresh);
  Check(!againEnd || (againEnd >= xml.GetString() && againEnd <= xml.GetString() + xml.GetLength()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<wchar_t> text = Widen(data, size);
  std::size_t length = 0;
  while (text[length] != 0) ++length;

  {
    XmlNode node;
    XmlParseOptions opt;
    Exercise(node, text.data(), length, opt);
  }
  {
    XmlNode node;
    XmlParseOptions opt;
    opt.ForceParse = true;
    opt.EscapeChar = 0;
    opt.TrimValue = true;
    Exercise(node, text.data(), length, opt);
  }
  {
    XmlDocument doc;
    XmlParseOptions opt;
    opt.ForceParse = true;
    Exercise(doc, text.data(), length, opt);
  }
  return 0;
}
