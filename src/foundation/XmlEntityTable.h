// XmlEntityTable: the entity references an XML text may use in place of a
// character, with the conversions in both directions.
//
// Only named references listed in a table are known; numeric character
// references (&#65;) are not and stay as written. Header-only dependencies
// (CString), so that the XML code can be compiled into tools on its own.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "nimbrel/CString.h"

// One entry: the character and the reference text that stands for it.
struct XmlEntity {
  wchar_t character = 0;
  CString reference;  // for example "&amp;"
  int length = 0;     // reference.GetLength()
};

class XmlEntityTable {
 public:
  XmlEntityTable() = default;
  XmlEntityTable(std::initializer_list<std::pair<wchar_t, const wchar_t*>> entries);

  // Adds an entry at the end; earlier entries take precedence.
  void Add(wchar_t character, const wchar_t* reference);

  // References to characters: wherever the whole text of a known reference
  // starts (exact, case-sensitive), its character is emitted and the
  // reference skipped; everything else is copied unchanged.
  CString Decode(std::wstring_view text) const;
  // Characters to references: each character of the table is replaced by its
  // reference (the first entry for that character).
  CString Encode(std::wstring_view text) const;
  // The same, appending to `out`.
  void DecodeTo(std::wstring& out, std::wstring_view text) const;
  void EncodeTo(std::wstring& out, std::wstring_view text) const;

  // In precedence order.
  std::vector<XmlEntity> entries;
};

// The five predefined entities, in this order: & " ' < >. Process-wide and
// created on first use; never changed.
const XmlEntityTable& StandardXmlEntityTable();
