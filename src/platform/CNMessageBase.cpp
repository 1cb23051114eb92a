#include "platform/CNMessageBase.h"

#include <expat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

bool CNMessageBase::validText(const std::string& text) {
    for (unsigned char c : text)
        if ((c < 0x20 && c != '\t') || c == 0x7f)
            return false;
    return true;
}

bool CNMessageBase::setString(int field, int tag, uint32_t classKey, uint32_t fieldKey,
                              const std::string& value) {
    if (!validText(value))
        return false;
    strings_[Key(field, tag, classKey, fieldKey)] = value;
    return true;
}

bool CNMessageBase::getString(int field, int tag, uint32_t classKey, uint32_t fieldKey,
                              std::string& value) const {
    auto it = strings_.find(Key(field, tag, classKey, fieldKey));
    if (it == strings_.end())
        return false;
    value = it->second;
    return true;
}

void CNMessageBase::setInt(int field, int tag, uint32_t classKey, uint32_t fieldKey,
                           long long value) {
    ints_[Key(field, tag, classKey, fieldKey)] = value;
}

bool CNMessageBase::getInt(int field, int tag, uint32_t classKey, uint32_t fieldKey,
                           long long& value) const {
    auto it = ints_.find(Key(field, tag, classKey, fieldKey));
    if (it == ints_.end())
        return false;
    value = it->second;
    return true;
}

bool CNMessageBase::isFieldSet(int field) const {
    for (const auto& e : ints_)
        if (std::get<0>(e.first) == field)
            return true;
    for (const auto& e : strings_)
        if (std::get<0>(e.first) == field)
            return true;
    return false;
}

namespace {

void escapeInto(std::string& out, const std::string& text) {
    for (char c : text) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\t':
            out += "&#9;";
            break;
        default:
            out += c;
        }
    }
}

std::string fieldAttributes(int field, int tag, uint32_t classKey, uint32_t fieldKey) {
    return " field=\"" + std::to_string(field) + "\" tag=\"" + std::to_string(tag) + "\" class=\"" +
           std::to_string(classKey) + "\" key=\"" + std::to_string(fieldKey) + "\"";
}

// A decimal number without sign, leading zeros or spaces, at most max.
bool parseUnsigned(const char* text, unsigned long long max, unsigned long long& out) {
    if (!text || !*text || (text[0] == '0' && text[1]) || std::strlen(text) > 20)
        return false;
    unsigned long long v = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        unsigned d = static_cast<unsigned>(*p - '0');
        if (v > (max - d) / 10)
            return false;
        v = v * 10 + d;
    }
    out = v;
    return true;
}

bool parseSigned(const std::string& text, long long& out) {
    bool negative = !text.empty() && text[0] == '-';
    unsigned long long v = 0;
    unsigned long long max = negative ? 9223372036854775808ULL : 9223372036854775807ULL;
    if (!parseUnsigned(text.c_str() + (negative ? 1 : 0), max, v) || (negative && v == 0))
        return false;
    out = negative ? static_cast<long long>(0 - v) : static_cast<long long>(v);
    return true;
}

} // namespace

std::string CNMessageBase::toXml() const {
    std::string out = "<message subsystem=\"" + std::to_string(subsystem_) + "\" id=\"" +
                      std::to_string(message_) + "\" tag=\"" + std::to_string(tagId_) +
                      "\" name=\"";
    escapeInto(out, tagName_);
    out += "\">";
    for (const auto& e : ints_)
        out += "<int" +
               fieldAttributes(std::get<0>(e.first), std::get<1>(e.first), std::get<2>(e.first),
                               std::get<3>(e.first)) +
               ">" + std::to_string(e.second) + "</int>";
    for (const auto& e : strings_) {
        out += "<string" +
               fieldAttributes(std::get<0>(e.first), std::get<1>(e.first), std::get<2>(e.first),
                               std::get<3>(e.first)) +
               ">";
        escapeInto(out, e.second);
        out += "</string>";
    }
    out += "</message>";
    return out;
}

// Expat callbacks: one <message> holding <int> and <string> elements, each
// field once; anything else stops the parser.
struct XmlMessageParser {
    XML_Parser parser = nullptr;
    std::unique_ptr<CNMessageBase> message;
    std::string error;
    int depth = 0;
    bool isInt = false;
    CNMessageBase::Key key;
    std::string text;

    void stop(const std::string& why) {
        if (error.empty())
            error = why;
        XML_StopParser(parser, XML_FALSE);
    }

    static const char* attribute(const char** atts, const char* name) {
        for (int i = 0; atts[i]; i += 2)
            if (std::strcmp(atts[i], name) == 0)
                return atts[i + 1];
        return nullptr;
    }

    bool number(const char** atts, const char* name, unsigned long long max,
                unsigned long long& out) {
        if (!parseUnsigned(attribute(atts, name), max, out)) {
            stop(std::string("bad attribute ") + name);
            return false;
        }
        return true;
    }

    void start(const char* name, const char** atts) {
        ++depth;
        unsigned long long a = 0, b = 0, c = 0, d = 0;
        if (depth == 1) {
            if (std::strcmp(name, "message") != 0)
                return stop("not a message");
            const char* tagName = attribute(atts, "name");
            if (!number(atts, "subsystem", 0x7fffffffULL, a) ||
                !number(atts, "id", 0x7fffffffULL, b) || !number(atts, "tag", 0xffffffffULL, c))
                return;
            if (!tagName || !CNMessageBase::validText(tagName))
                return stop("bad message name");
            message = std::make_unique<CNMessageBase>(static_cast<int>(a), static_cast<int>(b),
                                                      static_cast<uint32_t>(c), tagName);
            return;
        }
        if (depth != 2 || (std::strcmp(name, "int") != 0 && std::strcmp(name, "string") != 0))
            return stop(std::string("unexpected element ") + name);
        isInt = name[0] == 'i';
        if (!number(atts, "field", 0x7fffffffULL, a) || !number(atts, "tag", 0x7fffffffULL, b) ||
            !number(atts, "class", 0xffffffffULL, c) || !number(atts, "key", 0xffffffffULL, d))
            return;
        key = CNMessageBase::Key(static_cast<int>(a), static_cast<int>(b), static_cast<uint32_t>(c),
                                 static_cast<uint32_t>(d));
        if (message->ints_.count(key) || message->strings_.count(key))
            return stop("field given twice");
        text.clear();
    }

    void end() {
        if (depth == 2) {
            if (!CNMessageBase::validText(text))
                return stop("control character in a field");
            if (isInt) {
                long long v = 0;
                if (!parseSigned(text, v))
                    return stop("bad integer '" + text + "'");
                message->ints_[key] = v;
            } else {
                message->strings_[key] = text;
            }
        }
        --depth;
    }

    void characters(const char* s, int len) {
        if (depth == 2) {
            text.append(s, static_cast<size_t>(len));
        } else {
            for (int i = 0; i < len; ++i)
                if (s[i] != ' ' && s[i] != '\n' && s[i] != '\t' && s[i] != '\r')
                    return stop("text outside a field");
        }
    }
};

std::unique_ptr<CNMessageBase> CNMessageBase::fromXml(const std::string& text, std::string* error) {
    XmlMessageParser p;
    std::unique_ptr<XML_ParserStruct, void (*)(XML_Parser)> parser(XML_ParserCreate("UTF-8"),
                                                                   XML_ParserFree);
    if (!parser) {
        if (error)
            *error = "out of memory";
        return nullptr;
    }
    p.parser = parser.get();
    XML_SetUserData(p.parser, &p);
    XML_SetElementHandler(
        p.parser,
        [](void* u, const XML_Char* name, const XML_Char** atts) {
            static_cast<XmlMessageParser*>(u)->start(name, atts);
        },
        [](void* u, const XML_Char*) { static_cast<XmlMessageParser*>(u)->end(); });
    XML_SetCharacterDataHandler(p.parser, [](void* u, const XML_Char* s, int len) {
        static_cast<XmlMessageParser*>(u)->characters(s, len);
    });
    // No document type: no entity of the sender's is ever expanded.
    XML_SetStartDoctypeDeclHandler(
        p.parser, [](void* u, const XML_Char*, const XML_Char*, const XML_Char*, int) {
            static_cast<XmlMessageParser*>(u)->stop("document type refused");
        });
    if (text.size() > 0x7fffffffU) {
        if (error)
            *error = "message too long";
        return nullptr;
    }
    if (XML_Parse(p.parser, text.data(), static_cast<int>(text.size()), XML_TRUE) !=
            XML_STATUS_OK ||
        !p.error.empty() || !p.message) {
        if (error)
            *error = !p.error.empty() ? p.error
                     : !p.message     ? std::string("no message")
                                      : XML_ErrorString(XML_GetErrorCode(p.parser));
        return nullptr;
    }
    return std::move(p.message);
}
