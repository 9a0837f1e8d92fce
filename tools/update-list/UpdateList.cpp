#include "UpdateList.h"

#include <algorithm>
#include <cwchar>

#include "foundation/FileUtils.h"
#include "foundation/PathNames.h"
#include "foundation/StdioFileEx.h"
#include "foundation/Version.h"
#include "foundation/XmlNode.h"

namespace {

constexpr const wchar_t* kKinds[] = {L"General", L"Lyrics"};
constexpr const wchar_t* kSuffix = L".so";

bool IsPrintableAscii(wchar_t c) { return c > 0x20 && c < 0x7F; }

// One path segment of an address: everything but the unreserved characters
// percent-encoded (names are ASCII, checked before).
std::wstring EncodeSegment(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text) {
    if ((c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'-' || c == L'.' ||
        c == L'_' || c == L'~') {
      out += c;
    } else {
      wchar_t hex[4];
      std::swprintf(hex, 4, L"%%%02X", static_cast<unsigned>(c) & 0xFF);
      out += hex;
    }
  }
  return out;
}

}  // namespace

bool CUpdateList::IsListableName(const CString& name, CString& why) {
  const std::wstring& text = name.str();
  if (text.empty()) {
    why = L"the name is empty";
  } else if (text.front() == L'.') {
    why = L"a name beginning with \".\" is a hidden file, which the updater never finds";
  } else if (!std::all_of(text.begin(), text.end(), [](wchar_t c) { return c == L' ' || IsPrintableAscii(c); }) ||
             text.find_first_of(L"/\\") != std::wstring::npos) {
    why = L"the name must be printable ASCII without path separators";
  } else if (text.front() == L' ' || text.back() == L' ') {
    why = L"the updater trims the name in the list, so it would no longer match the file";
  } else if (text.back() == L'D') {
    why = L"the registry takes a name ending in \"D\" for the debug build of the source without the \"D\"";
  } else if (text.find(kSuffix) != std::wstring::npos) {
    why = L"the registry removes every \".so\" from a file name, so it would look for another file";
  } else {
    return true;
  }
  return false;
}

bool CUpdateList::Fail(const CString& error) {
  error_ = error;
  return false;
}

bool CUpdateList::AddModule(const CString& file, const CString& kind) {
  Module module;
  module.kind = kind;
  module.name = GetFileTitleOf(file);
  CString why;
  if (!IsListableName(module.name, why)) return Fail(file + L": " + why);
  CVersion version;
  if (!version.SetVersionFromModule(file)) {
    return Fail(file + L": no version stamp (NIMBREL_MODULE_VERSION); the updater would replace it at every update");
  }
  module.version = version.GetText();
  modules_.push_back(std::move(module));
  return true;
}

bool CUpdateList::AddFolder(const CString& folder, const std::vector<CString>& only) {
  CString base = folder;
  if (base.IsEmpty() || base[base.GetLength() - 1] != L'/') base += L'/';
  if (!only.empty()) {
    std::vector<CString> sorted = only;
    std::sort(sorted.begin(), sorted.end(), [](const CString& a, const CString& b) { return a.str() < b.str(); });
    for (const CString& relative : sorted) {
      const std::wstring& text = relative.str();
      const auto slash = text.find(L'/');
      const std::wstring kind = slash == std::wstring::npos ? std::wstring() : text.substr(0, slash);
      if (std::none_of(std::begin(kKinds), std::end(kKinds), [&](const wchar_t* k) { return kind == k; }) ||
          text.find(L'/', slash + 1) != std::wstring::npos || text.size() <= std::wcslen(kSuffix) ||
          text.compare(text.size() - std::wcslen(kSuffix), std::wstring::npos, kSuffix) != 0) {
        return Fail(relative + L": not a module of the plug-in folder (General/<name>.so or Lyrics/<name>.so)");
      }
      if (!PathExists(base + relative)) return Fail(base + relative + L": no such module");
      if (!AddModule(base + relative, kind.c_str())) return false;
    }
    return true;
  }
  for (const wchar_t* kind : kKinds) {
    std::vector<CString> files;
    ListFiles(base + kind, CString(L"*") + kSuffix, files);
    for (const CString& file : files) {
      if (!AddModule(file, kind)) return false;
    }
  }
  return true;
}

bool CUpdateList::AddList(const CString& path) {
  CStdioFileEx file;
  if (!file.Open(path, CStdioFileEx::modeRead | CStdioFileEx::typeText)) return Fail(L"cannot read " + path);
  CString text, line;
  while (file.ReadString(line)) text += line + L"\n";
  file.Close();
  XmlParseOptions options;
  XmlNode root;
  // The parsed element is the root node itself, as the updater reads it.
  if (!root.Load(text.GetString(), &options) || root.name != L"PluginUpdates") return Fail(path + L": not an update list");
  const XmlNode* list = &root;
  const XmlWriteOptions* textOptions = &DefaultXmlWriteOptions();
  std::vector<Module> added;
  for (const wchar_t* kind : kKinds) {
    const XmlNode* kindNode = list->FindChild(kind);
    if (!kindNode) continue;
    for (const XmlNode* dll : kindNode->GetChildren(L"DLL")) {
      Module module;
      module.kind = kind;
      const wchar_t* name = dll->GetAttributeValue(L"Name");
      const wchar_t* version = dll->GetAttributeValue(L"Version");
      module.name = name ? name : L"";
      module.version = version ? version : L"";
      module.url = dll->GetChildText(L"DLLURL", textOptions);
      CString why;
      if (!IsListableName(module.name, why)) return Fail(path + L": " + kind + L"/" + module.name + L": " + why);
      if (module.version.IsEmpty() || module.url.IsEmpty()) {
        return Fail(path + L": " + kind + L"/" + module.name + L" lacks a version or a download address");
      }
      const CString priority = dll->GetChildText(L"Priority", textOptions);
      if (!priority.IsEmpty()) {
        wchar_t* end = nullptr;
        const long value = std::wcstol(priority.GetString(), &end, 10);
        if (!end || *end || value < INT32_MIN || value > INT32_MAX) {
          return Fail(path + L": " + kind + L"/" + module.name + L": the priority is no number");
        }
        module.priority = static_cast<std::int32_t>(value);
      }
      const std::wstring key = module.kind.str() + L"/" + module.name.str();
      const auto [other, fresh] = listedBy_.emplace(key, path);
      if (!fresh) return Fail(path + L": " + key.c_str() + L" is listed by " + other->second + L" too");
      added.push_back(std::move(module));
    }
  }
  for (Module& module : added) modules_.push_back(std::move(module));
  // One order whatever order the lists came in: by kind, then by name.
  std::stable_sort(modules_.begin(), modules_.end(), [](const Module& a, const Module& b) {
    return a.kind.str() != b.kind.str() ? a.kind.str() < b.kind.str() : a.name.str() < b.name.str();
  });
  return true;
}

void CUpdateList::SetPriority(const CString& name, std::int32_t priority) { priorities_[name.str()] = priority; }

bool CUpdateList::GetXml(const CString& baseUrl, CString& xml) {
  std::wstring base = baseUrl.str();
  while (!base.empty() && base.back() == L'/') base.pop_back();
  const bool everyAddressGiven =
      std::all_of(modules_.begin(), modules_.end(), [](const Module& m) { return !m.url.IsEmpty(); });
  if (base.empty() && everyAddressGiven) {
    // A merge of lists: every address is the one its list gave.
  } else if (base.rfind(L"http://", 0) != 0 && base.rfind(L"https://", 0) != 0) {
    return Fail(L"the base address must begin with http:// or https://: " + baseUrl);
  }
  // The updater reads an address through the XML text accessor, which writes
  // the predefined entities back as references: "&" would arrive as "&amp;".
  if (!std::all_of(base.begin(), base.end(), IsPrintableAscii) ||
      base.find_first_of(L"&<>\"'") != std::wstring::npos) {
    return Fail(L"the base address must be printable ASCII without & < > \" ': " + baseUrl);
  }
  XmlDocument document;
  XmlNode* declaration = document.AppendChildElement(L"xml");
  declaration->type = kXmlProcessingInstruction;
  declaration->AppendAttribute(L"version", L"1.0");
  declaration->AppendAttribute(L"encoding", L"iso-8859-1");
  XmlNode* root = document.AppendChildElement(L"PluginUpdates");
  for (const wchar_t* kind : kKinds) {
    XmlNode* kindNode = root->AppendChildElement(kind);
    for (const Module& module : modules_) {
      if (module.kind != kind) continue;
      XmlNode* dll = kindNode->AppendChildElement(L"DLL");
      dll->AppendAttribute(L"Name", module.name.str());
      dll->AppendAttribute(L"Version", module.version.str());
      dll->AppendChildElement(L"DLLURL", !module.url.IsEmpty()
                                             ? module.url.str()
                                             : base + L"/" + kind + L"/" + EncodeSegment(module.name.str()) + kSuffix);
      auto priority = priorities_.find(module.name.str());
      if (module.priority) {
        dll->AppendChildElement(L"Priority", std::to_wstring(*module.priority));
      } else if (priority != priorities_.end()) {
        dll->AppendChildElement(L"Priority", std::to_wstring(priority->second));
      }
    }
  }
  xml = document.GetXml();
  return true;
}

bool CUpdateList::Write(const CString& path, const CString& baseUrl) {
  CString xml;
  if (!GetXml(baseUrl, xml)) return false;
  CStdioFileEx file;
  if (!file.Open(path, CStdioFileEx::modeCreate | CStdioFileEx::modeWrite | CStdioFileEx::typeText) ||
      !file.WriteString(xml + L"\n")) {
    return Fail(L"cannot write " + path);
  }
  file.Close();
  return true;
}
