#include "base/json.h"
#include "channel/log_text.h"
#include "channel/push.h"
#include "channel/request.h"
#include "channel/routes.h"
#include "channel/token.h"

#include <gtest/gtest.h>

namespace channel {
namespace {

Request parsed(std::string_view bytes) {
  Request req;
  req.buffer = bytes;
  parseHeadersIfNeeded(req);
  return req;
}

// The parsed fields and the body as one line; "-" for an absent header.
std::string fields(const Request& r) {
  auto opt = [](const std::optional<std::string>& v) { return v ? "[" + *v + "]" : "-"; };
  return r.requestLine + "|" + opt(r.token) + "|" + opt(r.origin) + "|" + opt(r.host) + "|" +
         std::to_string(r.contentLength) + "|" + requestBody(r);
}

TEST(ParseRequest, HeadersAndBodyHoweverTheyArrive) {
  const std::pair<std::string, std::string> cases[] = {
      {"POST /x HTTP/1.1\r\nX-CV-Token: \t abc \t\r\nHost: 127.0.0.1:9\r\n\r\nhi",
       "POST /x HTTP/1.1|[abc]|-|[127.0.0.1:9]|0|hi"},
      {"P\r\nx-Cv-TOKEN: AbC\r\nX-CV-TOKEN: 2nd\r\nOrigin:\r\n\r\n", "P|[2nd]|-|-|0|"},
      {"P\r\nOrigin:   \r\nhost\r\n\r\n", "P|-|[]|-|0|"},
      {"P\r\n:x-cv-token:a:b\r\n\r\n", "P|[a:b]|-|-|0|"},
      {"P\r\nx-cv-to\u212Aen::k\r\n\r\n", "P|[:k]|-|-|0|"},
      {"P\r\nContent-Length: +5\r\n\r\nhello world", "P|-|-|-|5|hello"},
      {"P\r\ncontent-length:  -3 \r\n\r\nall", "P|-|-|-|-3|all"},
      {"P\r\ncontent-length: 50\r\n\r\nshort", "P|-|-|-|50|short"},
      {"P\r\ncontent-length: 7\r\ncontent-length: 0x1\r\n\r\nall", "P|-|-|-|0|all"},
      {"P\r\nContent-Length: 1\r\n\r\né", "P|-|-|-|1|"},
      {"POST / HTTP/1.1\nHost: x\ry\r\n\r\n", "POST / HTTP/1.1\nHost: x\ry|-|-|-|0|"},
      {"\r\nPOST /\xFF HTTP/1.1\r\nHost: x\r\n\r\n", "|-|-|-|0|"},
      {"\r\nPOST / HTTP/1.1\r\n\r\n", "POST / HTTP/1.1|-|-|-|0|"},
      {"P\r\nno terminator yet", "|-|-|-|0|"},
      {"POST /a HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi\r\n\r\n", "POST /a HTTP/1.1|-|-|-|2|hi"},
  };
  for (const auto& [bytes, want] : cases) {
    SCOPED_TRACE(bytes);
    Request whole = parsed(bytes);
    EXPECT_EQ(want, fields(whole));
    // The same, however the bytes are split across receives.
    for (size_t step : {1u, 2u, 3u, 5u}) {
      for (size_t first = 1; first <= bytes.size(); ++first) {
        Request req;
        for (size_t at = 0, n = first; at < bytes.size(); at += n, n = step) {
          req.buffer += bytes.substr(at, n);
          parseHeadersIfNeeded(req);
        }
        ASSERT_EQ(want, fields(req)) << "first " << first << " step " << step;
        ASSERT_EQ(whole.bodyStart, req.bodyStart);
      }
    }
  }
}

// The wire tests cover a request that is still arriving.
TEST(ParseRequest, Progress) {
  const std::string cl = "POST / HTTP/1.1\r\nContent-Length: ";
  const std::tuple<std::string, bool, Progress> cases[] = {
      {"POST / HTTP/1.1\r\n", true, Progress::Complete},
      {cl + "5\r\n\r\nabc", true, Progress::ShortBody},
      {cl + "1\r\n\r\n" + std::string(MAX_REQUEST, 'x'), false, Progress::Complete},
      {"GET /\r\n\r\n" + std::string(MAX_REQUEST - 9, 'x'), false, Progress::Complete},
      {"GET /\r\n\r\n" + std::string(MAX_REQUEST - 8, 'x'), false, Progress::TooLarge},
      {std::string(MAX_REQUEST + 1, 'x'), true, Progress::TooLarge},
  };
  for (const auto& [bytes, peerDone, want] : cases) {
    EXPECT_EQ(want, progress(parsed(bytes), peerDone)) << bytes.substr(0, 40) << bytes.size();
  }
}

const RouteContext CTX{4242, "tok", "proj", "ID", "0.2.0", 77};

std::string outcome(const Decision& d) {
  return d.status + "|" + d.body + "|" + d.log.value_or("") + "|" + d.push.value_or("");
}

// Rows the wire tests do not cover: origin before host, host and path matching, methods, an
// unarmed server and a name that cannot be written as JSON.
TEST(Route, AnswerTable) {
  const std::string host = R"(403 Forbidden|{"ok":false,"error":"bad host"}|← )";
  const std::string token = R"(401 Unauthorized|{"ok":false,"error":"bad token"}|← )";
  const std::string notFound = R"(404 Not Found|{"ok":false,"error":"not found"}||)";
  const std::string unarmed = R"(503 Service Unavailable|{"ok":false,"error":"channel not armed"}|)"
                              "← POST / — REJEITADO (servidor sem token configurado)|";
  struct Case {
    std::string request, want;
    RouteContext ctx = CTX;
  } cases[] = {
      {"POST /\r\nx-cv-token: \r\n\r\nhi", unarmed, {4242, {}, "proj", "ID", "0.2.0", 77}},
      {"POST /\r\nx-cv-token: \r\n\r\nhi", unarmed, {4242, "", "proj", "ID", "0.2.0", 77}},
      {"GET /info\r\n\r\n", "200 OK|{}||", {4242, "tok", "bad\xFF", "ID", "0.2.0", 77}},  // no JSON
      {"GET /info\r\nHost: nope\r\nOrigin: \r\n\r\n",
       R"(403 Forbidden|{"ok":false,"error":"origin not allowed"}|)"
       "← GET /info — REJEITADO (Origin:  — pedido de browser)|"},
      {"GET /info\r\nHost: LOCALHOST:4242\r\n\r\n",
       host + "GET /info — REJEITADO (Host inesperado: LOCALHOST:4242)|"},
      {"GET /\r\nHost: [::1]:4242\r\n\r\n",
       host + "GET / — REJEITADO (Host inesperado: [::1]:4242)|"},
      {"GET /information\r\nHost: 127.0.0.1:4242\r\n\r\n",
       R"(200 OK|{"name":"proj","pid":77,"instance":"ID","port":4242,"version":"0.2.0"}||)"},
      {"GET / HTTP/1.1\r\n\r\n", notFound},
      {"get /info\r\n\r\n", notFound},
      {"", notFound},
      {"POST /x\r\nx-cv-token: TOK\r\n\r\nhi", token + "POST /x — REJEITADO (token inválido)|"},
      {"POST /x\r\n\r\nhi", token + "POST /x — REJEITADO (token inválido)|"},
      {"POST /x\r\nx-cv-token: tok\r\nContent-Length: 1\r\n\r\né",
       R"(400 Bad Request|{"ok":false,"error":"empty body"}||)"},
      {"POST\r\nx-cv-token: tok\r\nHost: localhost:4242\r\n\r\n  a \"b\"\n",
       R"(200 OK|{"ok":true}|→ channel push: "a "b""|a "b")"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.want, outcome(route(parsed(c.request), c.ctx))) << c.request;
  }
  EXPECT_EQ(R"({"content":"a"})", channelNotification("a", {})["params"].dump());  // no meta
}

// The line built per push is the document's own serialisation; text that cannot be is none.
TEST(Push, NotificationLineIsTheDocumentSerialised) {
  const std::pair<std::string, Meta> cases[] = {
      {"a", {}},
      {"olá \"q\"\n\\ \x01\x1b[31m\x7f ✓ 𝄞", {{"kind", "wakeword"}}},
      {"", {{"b", "2"}, {"a", "\"1\""}}},
  };
  for (const auto& [content, meta] : cases) {
    EXPECT_EQ(*base::serialize(channelNotification(content, meta)) + "\n",
              notificationLine(content, meta).value_or("<none>"))
        << content;
  }
  EXPECT_EQ(std::nullopt, notificationLine("bad \xff utf-8", {{"kind", "wakeword"}}));
}

TEST(LogText, ControlsAreEscapedAndLongValuesCut) {
  const std::string wide(150, 'w');
  std::string accents;  // 300 bytes of two-byte characters
  for (int i = 0; i < 150; ++i) {
    accents += "é";
  }
  const std::pair<std::string, std::string> cases[] = {
      {"olá — ✓", "olá — ✓"},
      {"a\nb\r\tc", "a\\nb\\r\\tc"},
      {"\x1b[31mred\x7f\x01", "\\x1b[31mred\\x7f\\x01"},
      {"csi \xc2\x9b\x32J", "csi \\u009b2J"},  // C1 CSI, then "2J"
      {"back\\slash", "back\\slash"},
      {wide + wide, wide + wide},
      {wide + wide + "x", wide + wide + "… (301 bytes)"},
      {accents, accents},
      {"a" + accents, "a" + accents.substr(0, 298) + "… (301 bytes)"},  // never half a character
      {"\n" + std::string(400, 'z'), "\\n" + std::string(299, 'z') + "… (401 bytes)"},
  };
  for (const auto& [value, logged] : cases) {
    EXPECT_EQ(logged, loggedValue(value)) << value.substr(0, 20);
  }
  EXPECT_EQ("\\n" + std::string(400, 'z'), escapeControls("\n" + std::string(400, 'z')));
}

TEST(Token, ComparisonAndForm) {
  for (const char* other : {"abc", "abd", "xbc", "ab", "ABC", ""}) {
    EXPECT_EQ(other == std::string("abc"), constantTimeEquals("abc", other)) << other;
  }
  EXPECT_TRUE(constantTimeEquals("", ""));
  auto one = readToken(), two = readToken();
  ASSERT_TRUE(one && two);
  EXPECT_EQ(64u, one->size());
  EXPECT_EQ(std::string::npos, one->find_first_not_of("0123456789abcdef"));
  EXPECT_NE(*one, *two);
}

}  // namespace
}  // namespace channel
