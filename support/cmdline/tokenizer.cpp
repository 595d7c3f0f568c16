#include "support/cmdline/tokenizer.h"

namespace vetline::cl {

namespace {

bool isSeparator(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void pushToken(std::vector<std::string> &tokens, std::string &token) {
  if (!token.empty())
    tokens.push_back(std::move(token));
  token.clear();
}

} // namespace

void tokenizeCommandLine(std::string_view text, std::vector<std::string> &tokens) {
  std::string token;
  size_t i = 0;
  size_t size = text.size();
  while (i < size) {
    char c = text[i];
    if (isSeparator(c)) {
      pushToken(tokens, token);
      ++i;
    } else if (c == '\\' && i + 1 < size) {
      token.push_back(text[i + 1]);
      i += 2;
    } else if (c == '\'' || c == '"') {
      ++i;
      while (i < size && text[i] != c) {
        if (text[i] == '\\' && i + 1 < size) {
          token.push_back(text[i + 1]);
          i += 2;
        } else {
          token.push_back(text[i++]);
        }
      }
      // An unterminated quote ends the text: what was collected is the last token.
      if (i >= size)
        break;
      ++i;
    } else {
      token.push_back(c);
      ++i;
    }
  }
  pushToken(tokens, token);
}

} // namespace vetline::cl
