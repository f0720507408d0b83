#include "launcher/markup/markup_text.h"

#include <algorithm>
#include <cstring>

#include "platform/codepage.h"

namespace markup_text {
namespace {

struct NamedRef {
  const char* name;
  unsigned code_point;
};

// The character entity references of HTML 4.01 plus apos, sorted by name
// (byte order, so names that differ only in case stay distinct).
constexpr NamedRef kNamedRefs[] = {
    {"AElig", 198}, {"Aacute", 193}, {"Acirc", 194}, {"Agrave", 192}, {"Alpha", 913},
    {"Aring", 197}, {"Atilde", 195}, {"Auml", 196}, {"Beta", 914}, {"Ccedil", 199},
    {"Chi", 935}, {"Dagger", 8225}, {"Delta", 916}, {"ETH", 208}, {"Eacute", 201},
    {"Ecirc", 202}, {"Egrave", 200}, {"Epsilon", 917}, {"Eta", 919}, {"Euml", 203},
    {"Gamma", 915}, {"Iacute", 205}, {"Icirc", 206}, {"Igrave", 204}, {"Iota", 921},
    {"Iuml", 207}, {"Kappa", 922}, {"Lambda", 923}, {"Mu", 924}, {"Ntilde", 209}, {"Nu", 925},
    {"OElig", 338}, {"Oacute", 211}, {"Ocirc", 212}, {"Ograve", 210}, {"Omega", 937},
    {"Omicron", 927}, {"Oslash", 216}, {"Otilde", 213}, {"Ouml", 214}, {"Phi", 934},
    {"Pi", 928}, {"Prime", 8243}, {"Psi", 936}, {"Rho", 929}, {"Scaron", 352}, {"Sigma", 931},
    {"THORN", 222}, {"Tau", 932}, {"Theta", 920}, {"Uacute", 218}, {"Ucirc", 219},
    {"Ugrave", 217}, {"Upsilon", 933}, {"Uuml", 220}, {"Xi", 926}, {"Yacute", 221},
    {"Yuml", 376}, {"Zeta", 918}, {"aacute", 225}, {"acirc", 226}, {"acute", 180},
    {"aelig", 230}, {"agrave", 224}, {"alefsym", 8501}, {"alpha", 945}, {"amp", 38},
    {"and", 8743}, {"ang", 8736}, {"apos", 39}, {"aring", 229}, {"asymp", 8776},
    {"atilde", 227}, {"auml", 228}, {"bdquo", 8222}, {"beta", 946}, {"brvbar", 166},
    {"bull", 8226}, {"cap", 8745}, {"ccedil", 231}, {"cedil", 184}, {"cent", 162}, {"chi", 967},
    {"circ", 710}, {"clubs", 9827}, {"cong", 8773}, {"copy", 169}, {"crarr", 8629},
    {"cup", 8746}, {"curren", 164}, {"dArr", 8659}, {"dagger", 8224}, {"darr", 8595},
    {"deg", 176}, {"delta", 948}, {"diams", 9830}, {"divide", 247}, {"eacute", 233},
    {"ecirc", 234}, {"egrave", 232}, {"empty", 8709}, {"emsp", 8195}, {"ensp", 8194},
    {"epsilon", 949}, {"equiv", 8801}, {"eta", 951}, {"eth", 240}, {"euml", 235},
    {"euro", 8364}, {"exist", 8707}, {"fnof", 402}, {"forall", 8704}, {"frac12", 189},
    {"frac14", 188}, {"frac34", 190}, {"frasl", 8260}, {"gamma", 947}, {"ge", 8805}, {"gt", 62},
    {"hArr", 8660}, {"harr", 8596}, {"hearts", 9829}, {"hellip", 8230}, {"iacute", 237},
    {"icirc", 238}, {"iexcl", 161}, {"igrave", 236}, {"image", 8465}, {"infin", 8734},
    {"int", 8747}, {"iota", 953}, {"iquest", 191}, {"isin", 8712}, {"iuml", 239},
    {"kappa", 954}, {"lArr", 8656}, {"lambda", 955}, {"lang", 9001}, {"laquo", 171},
    {"larr", 8592}, {"lceil", 8968}, {"ldquo", 8220}, {"le", 8804}, {"lfloor", 8970},
    {"lowast", 8727}, {"loz", 9674}, {"lrm", 8206}, {"lsaquo", 8249}, {"lsquo", 8216},
    {"lt", 60}, {"macr", 175}, {"mdash", 8212}, {"micro", 181}, {"middot", 183},
    {"minus", 8722}, {"mu", 956}, {"nabla", 8711}, {"nbsp", 160}, {"ndash", 8211}, {"ne", 8800},
    {"ni", 8715}, {"not", 172}, {"notin", 8713}, {"nsub", 8836}, {"ntilde", 241}, {"nu", 957},
    {"oacute", 243}, {"ocirc", 244}, {"oelig", 339}, {"ograve", 242}, {"oline", 8254},
    {"omega", 969}, {"omicron", 959}, {"oplus", 8853}, {"or", 8744}, {"ordf", 170},
    {"ordm", 186}, {"oslash", 248}, {"otilde", 245}, {"otimes", 8855}, {"ouml", 246},
    {"para", 182}, {"part", 8706}, {"permil", 8240}, {"perp", 8869}, {"phi", 966}, {"pi", 960},
    {"piv", 982}, {"plusmn", 177}, {"pound", 163}, {"prime", 8242}, {"prod", 8719},
    {"prop", 8733}, {"psi", 968}, {"quot", 34}, {"rArr", 8658}, {"radic", 8730}, {"rang", 9002},
    {"raquo", 187}, {"rarr", 8594}, {"rceil", 8969}, {"rdquo", 8221}, {"real", 8476},
    {"reg", 174}, {"rfloor", 8971}, {"rho", 961}, {"rlm", 8207}, {"rsaquo", 8250},
    {"rsquo", 8217}, {"sbquo", 8218}, {"scaron", 353}, {"sdot", 8901}, {"sect", 167},
    {"shy", 173}, {"sigma", 963}, {"sigmaf", 962}, {"sim", 8764}, {"spades", 9824},
    {"sub", 8834}, {"sube", 8838}, {"sum", 8721}, {"sup", 8835}, {"sup1", 185}, {"sup2", 178},
    {"sup3", 179}, {"supe", 8839}, {"szlig", 223}, {"tau", 964}, {"there4", 8756},
    {"theta", 952}, {"thetasym", 977}, {"thinsp", 8201}, {"thorn", 254}, {"tilde", 732},
    {"times", 215}, {"trade", 8482}, {"uArr", 8657}, {"uacute", 250}, {"uarr", 8593},
    {"ucirc", 251}, {"ugrave", 249}, {"uml", 168}, {"upsih", 978}, {"upsilon", 965},
    {"uuml", 252}, {"weierp", 8472}, {"xi", 958}, {"yacute", 253}, {"yen", 165}, {"yuml", 255},
    {"zeta", 950}, {"zwj", 8205}, {"zwnj", 8204},
};

size_t Find(std::string_view text, size_t from, char c) {
  if (from >= text.size()) return std::string_view::npos;
  const void* p = std::memchr(text.data() + from, c, text.size() - from);
  return p ? static_cast<const char*>(p) - text.data() : std::string_view::npos;
}

// Start of `pattern` at or after `from`, or npos.
size_t FindText(std::string_view text, size_t from, std::string_view pattern) {
  if (from > text.size()) return std::string_view::npos;
  return text.find(pattern, from);
}

bool StartsWith(std::string_view text, size_t pos, std::string_view what) {
  return text.size() - pos >= what.size() && text.compare(pos, what.size(), what) == 0;
}

bool IsNameStart(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
}

Node Error(size_t pos, const char* event) {
  Node n;
  n.kind = NodeKind::kError;
  n.start = pos;
  n.end = pos + 1;
  n.error = event;
  return n;
}

Node Unterminated(std::string_view text, size_t pos) {
  Node n = Error(pos, "unterminated_tag_syntax");
  n.end = text.size();
  return n;
}

Node Span(NodeKind kind, size_t start, size_t end) {
  Node n;
  n.kind = kind;
  n.start = start;
  n.end = end;
  return n;
}

// "]]>" at or after `from`, stepping over double-byte characters.
size_t FindCdataEnd(std::string_view text, size_t from, const bool* lead) {
  if (!lead) return FindText(text, from, "]]>");
  for (size_t i = from; i + 2 < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (lead[c]) {
      ++i;
    } else if (c == ']' && text[i + 1] == ']' && text[i + 2] == '>') {
      return i;
    }
  }
  return std::string_view::npos;
}

Node ScanDoctype(std::string_view text, size_t pos) {
  size_t p = pos + 9;  // past "<!DOCTYPE"
  if (p >= text.size()) return Unterminated(text, pos);
  if (!IsBlank(text[p])) return Error(pos, "doctype_tag_syntax");
  int depth = 0;
  for (; p < text.size(); ++p) {
    char c = text[p];
    if (c == '"' || c == '\'') {
      size_t q = Find(text, p + 1, c);
      if (q == std::string_view::npos) return Unterminated(text, pos);
      p = q;
    } else if (c == '[') {
      ++depth;
    } else if (c == ']') {
      if (depth == 0) return Error(pos, "doctype_tag_syntax");
      --depth;
    } else if (c == '>' && depth == 0) {
      return Span(NodeKind::kDocumentType, pos, p + 1);
    }
  }
  return Unterminated(text, pos);
}

Node ScanExclamation(std::string_view text, size_t pos, const bool* lead) {
  if (StartsWith(text, pos, "<!--")) {
    size_t e = FindText(text, pos + 4, "-->");
    if (e == std::string_view::npos) return Unterminated(text, pos);
    return Span(NodeKind::kComment, pos, e + 3);
  }
  if (StartsWith(text, pos, "<!-")) return Error(pos, "comment_tag_syntax");
  if (StartsWith(text, pos, "<![")) {
    if (!StartsWith(text, pos, "<![CDATA[")) {
      return pos + 9 > text.size() && std::string_view("<![CDATA[").starts_with(text.substr(pos))
                 ? Unterminated(text, pos)
                 : Error(pos, "cdata_section_syntax");
    }
    size_t e = FindCdataEnd(text, pos + 9, lead);
    if (e == std::string_view::npos) return Unterminated(text, pos);
    return Span(NodeKind::kCdata, pos, e + 3);
  }
  if (StartsWith(text, pos, "<!DOCTYPE")) return ScanDoctype(text, pos);
  return Error(pos, "exclamation_tag_syntax");
}

}  // namespace

size_t NameLength(std::string_view text, size_t p) {
  size_t s = p;
  while (p < text.size()) {
    char c = text[p];
    if (IsBlank(c) || c == '/' || c == '>') break;
    ++p;
  }
  return p - s;
}

Node ScanNode(std::string_view text, size_t pos, const bool* lead) {
  if (text[pos] != '<') {
    size_t e = Find(text, pos, '<');
    return Span(NodeKind::kText, pos, e == std::string_view::npos ? text.size() : e);
  }
  if (pos + 1 >= text.size()) return Error(pos, "first_tag_syntax");
  unsigned char c = static_cast<unsigned char>(text[pos + 1]);
  if (c == '!') return ScanExclamation(text, pos, lead);
  if (c == '?') {
    size_t e = FindText(text, pos + 2, "?>");
    if (e == std::string_view::npos) return Unterminated(text, pos);
    return Span(NodeKind::kProcessingInstruction, pos, e + 2);
  }
  if (c == '/') {
    size_t e = Find(text, pos + 2, '>');
    if (e == std::string_view::npos) return Unterminated(text, pos);
    Node n = Span(NodeKind::kEndTag, pos, e + 1);
    n.name_start = pos + 2;
    n.name_end = n.name_start;
    while (n.name_end < e && !IsBlank(text[n.name_end])) ++n.name_end;
    return n;
  }
  if (!IsNameStart(c)) return Error(pos, "first_tag_syntax");
  Node n;
  n.start = pos;
  n.name_start = pos + 1;
  n.name_end = n.name_start + NameLength(text, n.name_start);
  for (size_t p = n.name_end; p < text.size(); ++p) {
    char ch = text[p];
    if (ch == '>') {
      n.kind = text[p - 1] == '/' ? NodeKind::kEmptyTag : NodeKind::kStartTag;
      n.end = p + 1;
      return n;
    }
    if (ch == '"' || ch == '\'') {
      size_t q = Find(text, p + 1, ch);
      if (q == std::string_view::npos) break;
      p = q;
    }
  }
  return Unterminated(text, pos);
}

void AppendEscaped(std::string* out, std::string_view text, bool attribute) {
  size_t from = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char* rep;
    switch (text[i]) {
      case '<': rep = "&lt;"; break;
      case '>': rep = "&gt;"; break;
      case '&': rep = "&amp;"; break;
      case '"': rep = attribute ? "&quot;" : nullptr; break;
      case '\'': rep = attribute ? "&apos;" : nullptr; break;
      default: rep = nullptr; break;
    }
    if (!rep) continue;
    out->append(text, from, i - from);
    out->append(rep);
    from = i + 1;
  }
  out->append(text, from, text.size() - from);
}

unsigned NamedReference(std::string_view name) {
  const NamedRef* end = kNamedRefs + NamedReferenceCount();
  const NamedRef* it = std::lower_bound(kNamedRefs, end, name, [](const NamedRef& r, std::string_view n) {
    return std::string_view(r.name) < n;
  });
  return it != end && name == it->name ? it->code_point : 0;
}

size_t NamedReferenceCount() { return sizeof kNamedRefs / sizeof kNamedRefs[0]; }

namespace {

// Appends code point `cp` in the ANSI code page; false when it has no
// representation there.
bool AppendCodePoint(std::string* out, unsigned cp) {
  if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  static const unsigned ansi = platform::AnsiCodePage();
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
    return true;
  }
  if (ansi == 65001) {
    if (cp < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    } else if (cp < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    }
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    return true;
  }
  std::u16string w;
  if (cp < 0x10000) {
    w.push_back(static_cast<char16_t>(cp));
  } else {
    w.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
    w.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
  }
  std::string bytes;
  bool lossy = false;
  if (!platform::FromUtf16(ansi, w, &bytes, &lossy) || lossy || bytes.empty()) return false;
  out->append(bytes);
  return true;
}

// Value of a numeric reference body ("#123" or "#x1F"), 0 when malformed.
unsigned NumericValue(std::string_view ref) {
  bool hex = ref.size() > 1 && ref[1] == 'x';
  size_t i = hex ? 2 : 1;
  if (i >= ref.size()) return 0;
  unsigned v = 0;
  for (; i < ref.size(); ++i) {
    char c = ref[i];
    unsigned d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (hex && c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (hex && c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      return 0;
    }
    v = v * (hex ? 16 : 10) + d;
    if (v > 0x10FFFF) return 0;  // also stops overflow: at most 8 digits follow
  }
  return v;
}

}  // namespace

void AppendDecoded(std::string* out, std::string_view text) {
  size_t from = 0;
  size_t amp = Find(text, 0, '&');
  while (amp != std::string_view::npos) {
    out->append(text, from, amp - from);
    from = amp;
    size_t limit = std::min(text.size(), amp + 11);  // '&', 9 characters, ';'
    size_t semi = std::string_view::npos;
    for (size_t j = amp + 1; j < limit; ++j) {
      if (text[j] == ';') {
        semi = j;
        break;
      }
    }
    if (semi != std::string_view::npos) {
      std::string_view ref = text.substr(amp + 1, semi - amp - 1);
      unsigned cp = 0;
      if (!ref.empty()) cp = ref[0] == '#' ? NumericValue(ref) : NamedReference(ref);
      if (AppendCodePoint(out, cp)) from = semi + 1;
    }
    if (from == amp) {  // stays literal
      out->push_back('&');
      from = amp + 1;
    }
    amp = Find(text, from, '&');
  }
  out->append(text, from, text.size() - from);
}

void AddReportEvent(std::string* report, std::string_view event,
                    std::initializer_list<std::pair<std::string_view, std::string_view>> attribs) {
  std::string e = "<";
  e.append(event);
  for (const auto& a : attribs) {
    e += ' ';
    e.append(a.first);
    e += "=\"";
    AppendEscaped(&e, a.second, true);
    e += '"';
  }
  e += "/>";
  if (report->size() + e.size() <= kReportLimit) report->append(e);
}

}  // namespace markup_text
