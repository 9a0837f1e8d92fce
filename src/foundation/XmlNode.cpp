#include "foundation/XmlNode.h"

#include <algorithm>
#include <cwchar>
#include <string>
#include <tuple>
#include <utility>

#include "platform/NoDestructor.h"

namespace {

constexpr std::wstring_view kPiOpen = L"<?";
constexpr std::wstring_view kCommentOpen = L"<!--";
constexpr std::wstring_view kCommentClose = L"-->";
constexpr std::wstring_view kCDataOpen = L"<![CDATA[";
constexpr std::wstring_view kCDataClose = L"]]>";
// Attribute values are delimited with the backslash as escape, whatever the
// escape character of the options (which decides what is removed).
constexpr wchar_t kAttributeEscape = L'\\';

bool IsBlank(std::wstring_view s) {
  return std::all_of(s.begin(), s.end(), [](wchar_t c) { return nimbrel::IsSpace(c); });
}

bool StartsWith(const wchar_t* p, const wchar_t* limit, std::wstring_view prefix) {
  return static_cast<std::size_t>(limit - p) >= prefix.size() && std::wstring_view(p, prefix.size()) == prefix;
}

// The first character of `set` in [p, limit), or null.
const wchar_t* FindAny(const wchar_t* p, const wchar_t* limit, std::wstring_view set) {
  for (; p < limit; ++p)
    if (set.find(*p) != std::wstring_view::npos) return p;
  return nullptr;
}

// The first character of `set` in [p, limit) that is not escaped, or null.
// An escape character takes the character after it literally, so "\\<"
// is an escaped backslash followed by a real "<".
const wchar_t* FindUnescaped(const wchar_t* p, const wchar_t* limit, std::wstring_view set, wchar_t escape) {
  while (p < limit) {
    if (escape != 0 && *p == escape) {
      if (limit - p < 2) return nullptr;
      p += 2;
      continue;
    }
    if (set.find(*p) != std::wstring_view::npos) return p;
    ++p;
  }
  return nullptr;
}

const wchar_t* FindText(const wchar_t* p, const wchar_t* limit, std::wstring_view text) {
  const std::wstring_view rest(p, static_cast<std::size_t>(limit - p));
  const std::size_t at = rest.find(text);
  return at == std::wstring_view::npos ? nullptr : p + at;
}

// End of a processing instruction: the first "?>" not escaped, or null.
const wchar_t* FindPiClose(const wchar_t* p, const wchar_t* limit, wchar_t escape) {
  while (p < limit) {
    if (escape != 0 && *p == escape) {
      if (limit - p < 2) return nullptr;
      p += 2;
      continue;
    }
    if (*p == L'?' && p + 1 < limit && p[1] == L'>') return p;
    ++p;
  }
  return nullptr;
}

// One parse: the options and the end of the text (its terminating NUL).
class Parser {
 public:
  Parser(XmlParseOptions& options, const wchar_t* end) : opt_(options), end_(end) {}

  // Parses the first element at or after `p` into `node`, at nesting level
  // `depth`. Returns the position after it, or null.
  const wchar_t* LoadNode(XmlNode& node, const wchar_t* p, int depth);
  // Parses the root element as a child of the document node `doc`, then the
  // comments and processing instructions after it.
  const wchar_t* LoadDocument(XmlNode& doc, const wchar_t* p);

 private:
  const wchar_t* SkipWhite(const wchar_t* p, const wchar_t* limit) const {
    while (p < limit && nimbrel::IsSpace(*p)) ++p;
    return p;
  }
  const wchar_t* OtherNodes(XmlNode& node, const wchar_t* p, bool& ended);
  const wchar_t* ReadAttributes(XmlNode& node, const wchar_t* p, const wchar_t* limit, bool instruction);
  // A text or attribute value from [p, q): trimmed, unescaped and decoded as
  // the options say.
  CString MakeText(const wchar_t* p, const wchar_t* q) const;
  template <typename... Args>
  void Fail(std::int32_t code, const wchar_t* at, const wchar_t* format, const Args&... args) {
    if (opt_.ErrorOccurred) return;
    opt_.ErrorOccurred = true;
    opt_.ErrorPosition = at;
    opt_.ErrorCode = code;
    opt_.ErrorMessage.Format(format, args...);
  }

  XmlParseOptions& opt_;
  const wchar_t* const end_;
};

CString Parser::MakeText(const wchar_t* p, const wchar_t* q) const {
  std::wstring_view s(p, static_cast<std::size_t>(q - p));
  if (opt_.TrimValue) {
    while (!s.empty() && nimbrel::IsSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && nimbrel::IsSpace(s.back())) s.remove_suffix(1);
  }
  std::wstring plain;
  if (opt_.EscapeChar != 0) {
    plain.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
      if (s[i] == opt_.EscapeChar) {
        if (++i == s.size()) break;
      }
      plain += s[i];
    }
  } else {
    plain.assign(s);
  }
  if (opt_.EntityValue && opt_.EntityTable) {
    std::wstring decoded;
    opt_.EntityTable->DecodeTo(decoded, plain);
    return CString(std::move(decoded));
  }
  return CString(std::move(plain));
}

// Processing instructions, comments and CDATA sections before an element.
// Sets `ended` when a comment or CDATA section ends a child node.
const wchar_t* Parser::OtherNodes(XmlNode& node, const wchar_t* p, bool& ended) {
  // Comments and CDATA sections inside an element end the (nameless) child
  // being parsed; at the top and directly below a document they do not.
  const bool ends = node.parent && node.parent->type != kXmlDocument;
  for (;;) {
    bool any = false;
    p = SkipWhite(p, end_);
    if (StartsWith(p, end_, kPiOpen)) {
      const wchar_t* close = FindPiClose(p + kPiOpen.size(), end_, opt_.EscapeChar);
      if (!close) return nullptr;
      if (node.document) {
        auto pi = std::make_unique<XmlNode>();
        pi->type = kXmlProcessingInstruction;
        const wchar_t* target = p + kPiOpen.size();
        const wchar_t* nameEnd = FindAny(target, close + 1, L" ?>");
        pi->name = CString(std::wstring_view(target, static_cast<std::size_t>(nameEnd - target)));
        ReadAttributes(*pi, nameEnd, close, true);
        node.document->AppendChild(std::move(pi));
      }
      p = close + 2;
      any = true;
    }
    p = SkipWhite(p, end_);
    for (const auto& [open, closeText, nodeName, nodeType] :
         {std::tuple{kCommentOpen, kCommentClose, L"#COMMENT", kXmlComment},
          std::tuple{kCDataOpen, kCDataClose, L"#CDATA", kXmlCData}}) {
      if (!StartsWith(p, end_, open)) continue;
      const wchar_t* start = p + open.size();
      const wchar_t* close = FindText(start, end_, closeText);
      if (!close) return nullptr;
      if (node.parent) {
        XmlNode* added = node.parent->AppendChild(XmlNode::CreateNode(nodeName));
        added->type = nodeType;
        added->value = CString(std::wstring_view(start, static_cast<std::size_t>(close - start)));
      }
      p = close + closeText.size();
      if (ends) {
        ended = true;
        return p;
      }
      any = true;
      p = SkipWhite(p, end_);
    }
    if (!any) return p;
  }
}

// Attributes from `p` up to `limit`. For an element `limit` is the end of the
// text and the result is the position of the ">" or "/" that ends them (null
// on an error or at the end of the text); for a processing instruction
// `limit` is its "?>", nothing is an error and the result does not matter.
const wchar_t* Parser::ReadAttributes(XmlNode& node, const wchar_t* p, const wchar_t* limit, bool instruction) {
  for (;;) {
    p = SkipWhite(p, limit);
    if (p >= limit) return instruction ? p : nullptr;
    if (!instruction && (*p == L'>' || *p == L'/')) return p;
    const wchar_t* nameEnd = FindAny(p, limit, L" =");
    if (!nameEnd) {
      if (!instruction) {
        Fail(kXmlErrorAttribute, p, L"<%s> attribute has error ", node.name);
        return nullptr;
      }
      nameEnd = limit;
    }
    XmlAttribute* attribute = node.AppendAttribute(std::wstring_view(p, static_cast<std::size_t>(nameEnd - p)));
    p = SkipWhite(nameEnd, limit);
    if (p >= limit || *p != L'=') continue;
    p = SkipWhite(p + 1, limit);
    if (p >= limit) continue;  // the end of the text (an error) or of the instruction
    const wchar_t quote = *p;
    const bool quoted = quote == L'"' || quote == L'\'';
    if (quoted) ++p;
    const wchar_t* valueEnd = quoted ? FindUnescaped(p, limit, std::wstring_view(&quote, 1), kAttributeEscape)
                                     : FindUnescaped(p, limit, L" >", kAttributeEscape);
    if (!valueEnd) {
      if (!instruction) return nullptr;  // the text ends inside the tag
      valueEnd = limit;
    }
    attribute->value = MakeText(p, valueEnd);
    p = valueEnd;
    if (quoted && p < limit) ++p;
  }
}

const wchar_t* Parser::LoadNode(XmlNode& node, const wchar_t* p, int depth) {
  node.children.clear();
  node.attributes.clear();

  // The "<" of the element, past processing instructions, comments and
  // CDATA sections; a closing tag belongs to the caller.
  p = std::wmemchr(p, L'<', static_cast<std::size_t>(end_ - p));
  if (!p) return nullptr;
  for (;;) {
    if (p[1] == L'/') return p;
    bool ended = false;
    const wchar_t* next = OtherNodes(node, p, ended);
    if (!next || ended) return next;
    if (next == p) break;  // p is the element's "<"
    if (*next == L'<') {
      p = next;
      continue;
    }
    // Text (or the end) after a processing instruction: inside an element
    // the caller takes it as its text; elsewhere it is skipped.
    if (node.parent && node.parent->type != kXmlDocument) return next;
    p = std::wmemchr(next, L'<', static_cast<std::size_t>(end_ - next));
    if (!p) return nullptr;
  }

  // Name.
  const wchar_t* nameStart = p + 1;
  const wchar_t* nameEnd = FindAny(nameStart, end_, L" />\t\r\n");
  if (!nameEnd) return nullptr;
  node.name = CString(std::wstring_view(nameStart, static_cast<std::size_t>(nameEnd - nameStart)));
  if (depth > kXmlMaxDepth) {
    Fail(kXmlErrorNestedTooDeeply, p, L"<%s> is nested too deeply", node.name);
    return nullptr;
  }

  // Attributes; an empty element ends with "/>".
  p = ReadAttributes(node, nameEnd, end_, false);
  if (!p) return nullptr;
  if (*p == L'/') {
    if (p + 1 < end_ && p[1] == L'>') return p + 2;
    Fail(kXmlErrorNotClosed, p + 1, L"Element must be closed.");
    return nullptr;
  }

  // The text up to the first child or the closing tag.
  ++p;
  bool blank = IsBlank(node.value);
  if (blank) {
    const wchar_t* textEnd = FindUnescaped(p, end_, L"<", opt_.EscapeChar);
    if (!textEnd) {
      Fail(kXmlErrorNoClosingTag, p, L"%s must be closed with </%s>", node.name, node.name);
      return nullptr;
    }
    node.value = MakeText(p, textEnd);
    blank = IsBlank(node.value);
    p = textEnd;
  }

  // Children up to the closing tag. The end of the text ends the element
  // too: a document whose last closing tags are missing still loads.
  while (p < end_) {
    auto child = std::make_unique<XmlNode>();
    child->parent = &node;
    child->document = node.document;
    child->type = node.type;
    p = LoadNode(*child, p, depth + 1);
    if (!child->name.IsEmpty()) node.children.push_back(std::move(child));
    if (!p) return nullptr;

    if (p + 1 < end_ && p[0] == L'<' && p[1] == L'/') {
      p = SkipWhite(p + 2, end_);
      const wchar_t* closeEnd = FindAny(p, end_, L" >");
      if (!closeEnd) {
        Fail(kXmlErrorNoClosingTag, p, L"it must be closed with </%s>", node.name);
        return nullptr;
      }
      const std::wstring_view closeName(p, static_cast<std::size_t>(closeEnd - p));
      if (closeName == std::wstring_view(node.name)) return closeEnd + 1;
      if (!opt_.ForceParse) {
        Fail(kXmlErrorMismatchedTag, p, L"'<%s> ... </%s>' is not wel-formed.", node.name, closeName);
        return nullptr;
      }
      p = closeEnd + 1;
    } else if (blank && p < end_ && *p != L'<') {
      const wchar_t* textEnd = FindUnescaped(p, end_, L"<", opt_.EscapeChar);
      if (!textEnd) {
        Fail(kXmlErrorNoClosingTag, p, L"it must be closed with </%s>", node.name);
        return nullptr;
      }
      node.value = MakeText(p, textEnd);
      blank = IsBlank(node.value);
      p = textEnd;
    }
  }
  return p;
}

const wchar_t* Parser::LoadDocument(XmlNode& doc, const wchar_t* p) {
  doc.children.clear();
  doc.attributes.clear();
  auto root = std::make_unique<XmlNode>();
  root->parent = &doc;
  root->document = doc.document;
  const wchar_t* after = LoadNode(*root, p, 1);
  if (!after || root->name.IsEmpty()) return after;
  XmlNode& added = *doc.AppendChild(std::move(root));
  // Comments and processing instructions after the root; an unfinished one
  // there is ignored.
  bool ended = false;
  const wchar_t* trailer = OtherNodes(added, after, ended);
  return trailer ? trailer : after;
}

void AppendTabs(std::wstring& out, std::int32_t count) {
  if (count > 0) out.append(static_cast<std::size_t>(count), L'\t');
}

void AppendValue(std::wstring& out, const CString& text, const XmlWriteOptions& opt) {
  if (opt.ReferenceValue && opt.EntityTable)
    opt.EntityTable->EncodeTo(out, text);
  else
    out += text.str();
}

// Depth-first walk without recursion, however deep the tree: open(node)
// says whether to walk the node's children; close(node) follows them.
template <typename Open, typename Close>
void Walk(const XmlNode& root, Open&& open, Close&& close) {
  struct Frame {
    const XmlNode* node;
    std::size_t next;
  };
  std::vector<Frame> stack;
  if (open(root)) stack.push_back({&root, 0});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next < top.node->children.size()) {
      const XmlNode* child = top.node->children[top.next++].get();
      if (child && open(*child)) stack.push_back({child, 0});  // `top` is not used after this
      continue;
    }
    const XmlNode& done = *top.node;
    stack.pop_back();
    close(done);
  }
}

}  // namespace

// Never destroyed, like every lazily built process-wide object: a plug-in
// update still running at exit parses Sources.xml after static destruction.
XmlParseOptions& DefaultXmlParseOptions() {
  static platform::NoDestructor<XmlParseOptions> options;
  return *options;
}

XmlWriteOptions& DefaultXmlWriteOptions() {
  static platform::NoDestructor<XmlWriteOptions> options;
  return *options;
}

XmlNode::~XmlNode() {
  // Take the subtree apart level by level, so that no destructor recurses.
  std::vector<std::unique_ptr<XmlNode>> pending = std::move(children);
  while (!pending.empty()) {
    std::unique_ptr<XmlNode> node = std::move(pending.back());
    pending.pop_back();
    for (auto& child : node->children) pending.push_back(std::move(child));
    node->children.clear();
  }
}

const wchar_t* XmlNode::Load(const wchar_t* text, XmlParseOptions* options) {
  XmlParseOptions& opt = options ? *options : DefaultXmlParseOptions();
  name.Empty();
  value.Empty();
  if (!text) {
    children.clear();
    attributes.clear();
    return nullptr;
  }
  Parser parser(opt, text + std::wcslen(text));
  return type == kXmlDocument ? parser.LoadDocument(*this, text) : parser.LoadNode(*this, text, 1);
}

XmlNode* XmlNode::FindChild(std::wstring_view childName) const {
  for (const auto& child : children)
    if (child && std::wstring_view(child->name) == childName) return child.get();
  return nullptr;
}

XmlNode* XmlNode::FindChildWithAttribute(std::wstring_view childName, std::wstring_view attributeName,
                                         std::wstring_view attributeValue) const {
  for (const auto& child : children) {
    if (!child || std::wstring_view(child->name) != childName) continue;
    const wchar_t* v = child->GetAttributeValue(attributeName);
    if (nimbrel::CompareNoCase(v ? v : L"", attributeValue) == 0) return child.get();
  }
  return nullptr;
}

std::vector<XmlNode*> XmlNode::GetChildren(std::wstring_view childName) const {
  std::vector<XmlNode*> found;
  for (const auto& child : children)
    if (child && std::wstring_view(child->name) == childName) found.push_back(child.get());
  return found;
}

XmlNode* XmlNode::GetChild(int index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= children.size()) return nullptr;
  return children[static_cast<std::size_t>(index)].get();
}

XmlAttribute* XmlNode::FindAttribute(std::wstring_view attributeName) const {
  for (const auto& attribute : attributes)
    if (attribute && std::wstring_view(attribute->name) == attributeName) return attribute.get();
  return nullptr;
}

const wchar_t* XmlNode::GetAttributeValue(std::wstring_view attributeName) const {
  const XmlAttribute* attribute = FindAttribute(attributeName);
  return attribute ? attribute->value.GetString() : nullptr;
}

CString XmlNode::GetText(const XmlWriteOptions* options) const {
  const XmlWriteOptions& opt = options ? *options : DefaultXmlWriteOptions();
  std::wstring out;
  // Children's texts, then the node's own value.
  Walk(
      *this,
      [&](const XmlNode& n) {
        if (n.type == kXmlCData) out += n.value.str();
        return n.type != kXmlProcessingInstruction && n.type != kXmlComment && n.type != kXmlCData;
      },
      [&](const XmlNode& n) {
        if (n.type != kXmlDocument) AppendValue(out, n.value, opt);
      });
  return CString(std::move(out));
}

CString XmlNode::GetChildText(std::wstring_view childName, const XmlWriteOptions* options) const {
  const XmlNode* child = FindChild(childName);
  return child ? child->GetText(options) : CString();
}

CString XmlNode::GetXml(const XmlWriteOptions* options) const {
  const XmlWriteOptions& opt = options ? *options : DefaultXmlWriteOptions();
  const wchar_t quote = static_cast<wchar_t>(static_cast<unsigned char>(opt.Quote));
  std::int32_t tabs = opt.TabBase;  // a copy: the options stay untouched
  std::wstring out;
  auto writeAttributes = [&](const XmlNode& n) {
    if (!n.attributes.empty()) out += L' ';
    for (const auto& a : n.attributes) {
      if (!a) continue;
      out += a->name.str();
      out += L'=';
      out += quote;
      AppendValue(out, a->value, opt);
      out += quote;
      out += L' ';
    }
  };
  // Opens a node; true for a document or an element whose children and
  // closing tag are still to be written.
  auto open = [&](const XmlNode& n) {
    if (n.type != kXmlDocument && n.type != kXmlProcessingInstruction && opt.NewLine) {
      out += L'\n';
      AppendTabs(out, tabs);
    }
    switch (n.type) {
      case kXmlDocument:
        return true;
      case kXmlProcessingInstruction:
        out += L"<?";
        out += n.name.str();
        writeAttributes(n);
        out += L"?>";
        return false;
      case kXmlComment:
        out += L"<!--";
        out += n.value.str();
        out += L"-->";
        return false;
      case kXmlCData:
        out += L"<![CDATA[";
        out += n.value.str();
        out += L"]]>";
        return false;
      default:
        break;
    }
    out += L'<';
    out += n.name.str();
    writeAttributes(n);
    if (n.children.empty() && n.value.IsEmpty()) {
      out += L"/>";
      return false;
    }
    out += L'>';
    if (opt.NewLine && !n.children.empty()) ++tabs;
    return true;
  };
  auto close = [&](const XmlNode& n) {
    if (n.type == kXmlDocument) return;
    const bool indent = opt.NewLine && !n.children.empty();
    if (!n.value.IsEmpty()) {
      if (indent) {
        out += L'\n';
        AppendTabs(out, tabs);
      }
      AppendValue(out, n.value, opt);
    }
    if (indent) {
      out += L'\n';
      AppendTabs(out, tabs - 1);
    }
    out += L"</";
    out += n.name.str();
    out += L'>';
    if (indent) --tabs;
  };
  Walk(*this, open, close);
  return CString(std::move(out));
}

std::unique_ptr<XmlNode> XmlNode::CreateNode(std::wstring_view nodeName, std::wstring_view nodeValue) {
  return std::make_unique<XmlNode>(nodeName, nodeValue);
}

XmlNode* XmlNode::AppendChild(std::unique_ptr<XmlNode> child) {
  if (!child) return nullptr;
  child->parent = this;
  child->document = document;
  children.push_back(std::move(child));
  return children.back().get();
}

XmlNode* XmlNode::AppendChildElement(std::wstring_view childName, std::wstring_view childValue) {
  return AppendChild(CreateNode(childName, childValue));
}

XmlAttribute* XmlNode::AppendAttribute(std::wstring_view attributeName, std::wstring_view attributeValue) {
  auto attribute = std::make_unique<XmlAttribute>();
  attribute->name = CString(attributeName);
  attribute->value = CString(attributeValue);
  attribute->parent = this;
  attributes.push_back(std::move(attribute));
  return attributes.back().get();
}
