// XmlNode: a small, lenient, in-memory XML reader and writer over wide text.
//
// Load parses a whole text into a tree of nodes; the queries find children
// and attributes by name; the writer serialises a tree with optional line
// feeds and tab indentation. Only the entities of an XmlEntityTable are
// known, the backslash escapes the next character by default, and the first
// syntax error of a parse is recorded in the parse options.
//
// The reader is lenient on purpose: it accepts what the plug-in registry file
// and the update list have always contained, including documents whose last
// closing tags are missing. A tree is used by one thread at a time.
//
// Depends on headers only (CString, the standard library), so that the code
// can be compiled into a fuzz target on its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "foundation/XmlEntityTable.h"
#include "nimbrel/CString.h"

// Node types (XmlNode::type).
inline constexpr std::int32_t kXmlElement = 0;
inline constexpr std::int32_t kXmlProcessingInstruction = 1;
inline constexpr std::int32_t kXmlComment = 2;
inline constexpr std::int32_t kXmlCData = 3;
inline constexpr std::int32_t kXmlDocument = 4;

// Error codes (XmlParseOptions::ErrorCode) and their messages; the element's
// name fills the placeholders.
inline constexpr std::int32_t kXmlErrorNotClosed = 1;         // "Element must be closed."  ("<a / >")
inline constexpr std::int32_t kXmlErrorNoClosingTag = 2;      // "%s must be closed with </%s>" or "it must be closed with </%s>"
inline constexpr std::int32_t kXmlErrorMismatchedTag = 3;     // "'<%s> ... </%s>' is not wel-formed."
inline constexpr std::int32_t kXmlErrorAttribute = 4;         // "<%s> attribute has error "
inline constexpr std::int32_t kXmlErrorNestedTooDeeply = 5;   // "<%s> is nested too deeply"

// Deepest element nesting that Load accepts (the root is level 1). Parsing
// recurses once per level; deeper texts fail with kXmlErrorNestedTooDeeply
// instead of exhausting the stack.
inline constexpr int kXmlMaxDepth = 512;

struct XmlParseOptions {
  bool TrimValue = false;    // trim white space from element texts and attribute values
  bool EntityValue = true;   // decode entity references in texts and attribute values
  const XmlEntityTable* EntityTable = &StandardXmlEntityTable();  // null: no decoding
  // In texts and attribute values the character after it is taken literally
  // and the escape character itself is dropped; 0 switches escaping off.
  wchar_t EscapeChar = L'\\';
  bool ForceParse = false;   // tolerate a closing tag whose name does not match
  // The first error of a parse; a later error leaves the record unchanged.
  // Nothing clears it: use fresh options to learn about one parse.
  bool ErrorOccurred = false;
  const wchar_t* ErrorPosition = nullptr;  // into the parsed text
  std::int32_t ErrorCode = 0;
  CString ErrorMessage;
};

struct XmlWriteOptions {
  bool NewLine = true;         // before each node a line feed and TabBase tabs
  bool ReferenceValue = true;  // write (and return from GetText) special characters as references
  char Quote = '"';            // delimiter of attribute values
  const XmlEntityTable* EntityTable = &StandardXmlEntityTable();  // null: no encoding
  // Indentation depth of the node written first. The writer indents deeper
  // levels from a copy of it, so the options are never changed by writing
  // and may be shared between threads.
  std::int32_t TabBase = 0;
};

// The process-wide defaults, used wherever null options are passed. The
// default parse options collect the first error of every parse that used
// them, and keep it.
XmlParseOptions& DefaultXmlParseOptions();
XmlWriteOptions& DefaultXmlWriteOptions();

class XmlNode;

struct XmlAttribute {
  CString name;
  CString value;
  XmlNode* parent = nullptr;
};

// One node. Owns its children and attributes; destroying a node destroys its
// whole subtree (without recursion, however deep). Not copyable: children
// point at their parent.
//
// The queries are const but hand out mutable pointers into the tree, as the
// tree is meant to be edited through them.
class XmlNode {
 public:
  XmlNode() = default;
  explicit XmlNode(std::wstring_view nodeName, std::wstring_view nodeValue = {}) : name(nodeName), value(nodeValue) {}
  XmlNode(const XmlNode&) = delete;
  XmlNode& operator=(const XmlNode&) = delete;
  virtual ~XmlNode();

  // Parses `text` (NUL-terminated) into this node, which first loses its
  // children, attributes, name and value. A plain node becomes the first
  // element of the text; processing instructions and comments before it are
  // skipped. A document node (kXmlDocument) receives that element as its
  // child, with the processing instructions and comments around it.
  // Returns the position after the parsed element, or null when the text
  // holds no element, ends inside a tag, processing instruction, comment or
  // CDATA section, or has a syntax error (recorded in `options`). A missing
  // closing tag at the very end is tolerated. Null options: the defaults.
  // `text` must not point into this node's own tree, which is cleared first.
  const wchar_t* Load(const wchar_t* text, XmlParseOptions* options = nullptr);

  // First child with exactly this name, or null.
  XmlNode* FindChild(std::wstring_view childName) const;
  // First child named `childName` (case-sensitive) whose attribute
  // `attributeName` equals `attributeValue` without regard to case; a
  // missing attribute compares as empty. Null when there is none.
  XmlNode* FindChildWithAttribute(std::wstring_view childName, std::wstring_view attributeName,
                                  std::wstring_view attributeValue) const;
  // All children with exactly this name, in document order.
  std::vector<XmlNode*> GetChildren(std::wstring_view childName) const;
  int GetChildCount() const { return static_cast<int>(children.size()); }
  // Null when the index is negative or too large.
  XmlNode* GetChild(int index) const;
  // First attribute with exactly this name, or null.
  XmlAttribute* FindAttribute(std::wstring_view attributeName) const;
  // Its value, or null when the attribute is absent.
  const wchar_t* GetAttributeValue(std::wstring_view attributeName) const;

  // The text of the node: for an element its children's texts followed by
  // its own value (written with references when the options say so), for
  // CDATA its content, for a document its children's texts; empty for
  // processing instructions and comments. Null options: the defaults.
  CString GetText(const XmlWriteOptions* options = nullptr) const;
  // GetText of FindChild(childName), or empty when there is no such child.
  CString GetChildText(std::wstring_view childName, const XmlWriteOptions* options = nullptr) const;
  // The serialised node. Line breaks are a line feed alone; a document
  // writes its children one after the other with no line break before the
  // first processing instruction and none at the end. Null options: the
  // defaults.
  CString GetXml(const XmlWriteOptions* options = nullptr) const;

  // A new unattached element.
  static std::unique_ptr<XmlNode> CreateNode(std::wstring_view name, std::wstring_view value = {});
  // Takes the child, sets its parent to this node and its document to this
  // node's document, appends it and returns it (null for a null child).
  XmlNode* AppendChild(std::unique_ptr<XmlNode> child);
  // AppendChild(CreateNode(name, value)).
  XmlNode* AppendChildElement(std::wstring_view childName, std::wstring_view childValue = {});
  // Appends a new attribute of this node and returns it.
  XmlAttribute* AppendAttribute(std::wstring_view attributeName, std::wstring_view attributeValue = {});

  // Element name; "#COMMENT" for comments, "#CDATA" for CDATA sections, the
  // target for a processing instruction.
  CString name;
  // Element text (the text before its first child element, or after a child
  // while still blank), comment text, CDATA content, or empty.
  CString value;
  XmlNode* parent = nullptr;  // null for a root
  std::vector<std::unique_ptr<XmlNode>> children;  // elements, comments, CDATA, in document order
  std::vector<std::unique_ptr<XmlAttribute>> attributes;  // in document order
  std::int32_t type = kXmlElement;
  XmlNode* document = nullptr;  // the document node owning the tree; null for a plain node
};

// A document node: type kXmlDocument, its document pointer pointing at
// itself, and parse options of its own that its Load uses when given none.
// Used to build a text with a declaration, for example:
//   XmlDocument doc;
//   XmlNode* decl = doc.AppendChildElement(L"xml");
//   decl->type = kXmlProcessingInstruction;
//   decl->AppendAttribute(L"version", L"1.0");
//   XmlNode* root = doc.AppendChildElement(L"Root");
//   CString text = doc.GetXml(&writeOptions);
class XmlDocument final : public XmlNode {
 public:
  XmlDocument() {
    type = kXmlDocument;
    document = this;
  }
  const wchar_t* Load(const wchar_t* text, XmlParseOptions* options = nullptr) {
    return XmlNode::Load(text, options ? options : &parseOptions);
  }

  XmlParseOptions parseOptions;
};
