#include "foundation/XmlEntityTable.h"

#include "platform/NoDestructor.h"

XmlEntityTable::XmlEntityTable(std::initializer_list<std::pair<wchar_t, const wchar_t*>> list) {
  for (const auto& [character, reference] : list) Add(character, reference);
}

void XmlEntityTable::Add(wchar_t character, const wchar_t* reference) {
  XmlEntity entity;
  entity.character = character;
  entity.reference = reference;
  entity.length = entity.reference.GetLength();
  entries.push_back(std::move(entity));
}

void XmlEntityTable::DecodeTo(std::wstring& out, std::wstring_view text) const {
  out.reserve(out.size() + text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const XmlEntity* found = nullptr;
    for (const XmlEntity& e : entries) {
      const std::wstring_view ref = e.reference;
      // An empty reference would match everywhere without advancing.
      if (!ref.empty() && ref[0] == text[i] && text.substr(i, ref.size()) == ref) {
        found = &e;
        break;
      }
    }
    if (found) {
      out += found->character;
      i += static_cast<std::size_t>(found->reference.GetLength());
    } else {
      out += text[i++];
    }
  }
}

void XmlEntityTable::EncodeTo(std::wstring& out, std::wstring_view text) const {
  out.reserve(out.size() + text.size());
  for (wchar_t c : text) {
    const XmlEntity* found = nullptr;
    for (const XmlEntity& e : entries) {
      if (e.character == c) {
        found = &e;
        break;
      }
    }
    if (found)
      out += found->reference.str();
    else
      out += c;
  }
}

CString XmlEntityTable::Decode(std::wstring_view text) const {
  std::wstring out;
  DecodeTo(out, text);
  return CString(std::move(out));
}

CString XmlEntityTable::Encode(std::wstring_view text) const {
  std::wstring out;
  EncodeTo(out, text);
  return CString(std::move(out));
}

const XmlEntityTable& StandardXmlEntityTable() {
  // Never destroyed: XML may still be read or written while the process exits.
  static platform::NoDestructor<XmlEntityTable> table(std::initializer_list<std::pair<wchar_t, const wchar_t*>>{
      {L'&', L"&amp;"}, {L'"', L"&quot;"}, {L'\'', L"&apos;"}, {L'<', L"&lt;"}, {L'>', L"&gt;"}});
  return *table;
}
