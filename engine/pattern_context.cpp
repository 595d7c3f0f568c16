#include "engine/pattern_context.h"

#include "engine/engine_errors.h"
#include "engine/numeric_expression.h"
#include "engine/pattern.h"
#include "support/format.h"
#include "support/source_manager.h"
#include "support/text_buffer.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <sys/mman.h>

namespace vetline {

namespace {

// Every text this file shows. They are interface (tests and users compare
// them byte for byte): never reword them. "{N}" stands for a value filled
// in by formatPositional.
namespace text {
// The buffer that the "-D" values are parsed from, one line each.
constexpr std::string_view definesBufferName = "Global defines";
constexpr std::string_view defineLineLead = "Global define #{0}: ";
// Around the [[#...]] block a numeric definition is parsed as.
constexpr std::string_view parsedAsLead = " (parsed as: [[";
constexpr std::string_view parsedAsTrail = "]])";
constexpr std::string_view missingEqualSign = "missing equal sign in global definition";
constexpr std::string_view invalidStringName = "invalid name in string variable definition '{0}'";
constexpr std::string_view numericNameTaken = "numeric variable with name '{0}' already exists";
constexpr std::string_view missingExpression = "missing numeric expression in global definition";
} // namespace text

bool isGlobalName(std::string_view name) { return name.starts_with('$'); }

// Fresh zeroed memory with every page already present, or null where the
// system cannot do that (the caller then allocates the usual way).
char *mapWithPagesPresent(size_t size) {
#ifdef MAP_POPULATE
  void *memory = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  return memory == MAP_FAILED ? nullptr : static_cast<char *>(memory);
#else
  (void)size;
  return nullptr;
#endif
}

void unmapPages(char *start, size_t size) { munmap(start, size); }

// The part of one definition to parse, as an offset and length in the
// "Global defines" text.
struct DefinitionPart {
  size_t offset = 0;
  size_t length = 0;
};

// One line per definition that has a '='; a numeric one also shows the
// block it is parsed as, so that diagnostics point at the [[#...]] form.
std::string buildGlobalDefines(std::span<const std::string_view> definitions,
                               std::vector<DefinitionPart> &parts) {
  std::string lines;
  size_t number = 0;
  for (std::string_view definition : definitions) {
    ++number;
    size_t equals = definition.find('=');
    if (equals == std::string_view::npos) {
      parts.push_back({lines.size(), 0});
      continue;
    }
    lines += formatPositionalString(text::defineLineLead, number);
    lines += definition;
    if (definition.starts_with('#')) {
      lines += text::parsedAsLead;
      parts.push_back({lines.size(), definition.size()});
      lines += definition.substr(0, equals);
      lines += ':';
      lines += definition.substr(equals + 1);
      lines += text::parsedAsTrail;
    } else {
      parts.push_back({lines.size() - definition.size(), definition.size()});
    }
    lines += '\n';
  }
  return lines;
}

} // namespace

PatternContext::PatternContext() = default;

PatternContext::~PatternContext() = default;

Error PatternContext::defineCommandLineVariables(std::span<const std::string_view> definitions,
                                                 SourceManager &sourceManager) {
  if (definitions.empty())
    return success();
  std::vector<DefinitionPart> parts;
  std::string lines = buildGlobalDefines(definitions, parts);
  unsigned number = sourceManager.addBuffer(makeTextBufferCopy(lines, text::definesBufferName));
  std::string_view buffer = sourceManager.buffer(number).text();
  Error errors;
  for (const DefinitionPart &part : parts) {
    std::string_view definition = buffer.substr(part.offset, part.length);
    Error error;
    if (definition.empty())
      error = makeLocatedError(sourceManager, definition, text::missingEqualSign);
    else if (definition.starts_with('#'))
      error = defineNumericVariable(definition, sourceManager);
    else
      error = defineStringVariable(definition, sourceManager);
    errors = combineErrors(std::move(errors), std::move(error));
  }
  return errors;
}

// `definition` is NAME=VALUE inside the "Global defines" buffer.
Error PatternContext::defineStringVariable(std::string_view definition,
                                           const SourceManager &sourceManager) {
  size_t equals = definition.find('=');
  std::string_view nameText = definition.substr(0, equals);
  std::string_view rest = nameText;
  Fallible<VariableName> parsed = parseVariableName(rest, sourceManager);
  if (!parsed)
    return parsed.extractError();
  if (parsed->isPseudo || !rest.empty())
    return makeLocatedError(sourceManager, nameText,
                            formatPositionalString(text::invalidStringName, nameText));
  std::string_view name = parsed->name;
  if (numericVars.contains(name))
    return makeLocatedError(sourceManager, name, numericNameTakenMessage(name));
  // The first definition of a name wins.
  values.insert(name, definition.substr(equals + 1));
  markStringVarDefined(name);
  return success();
}

// `definition` is the #NAME:EXPRESSION form inside the "Global defines"
// buffer (its '=' already replaced).
Error PatternContext::defineNumericVariable(std::string_view definition,
                                            const SourceManager &sourceManager) {
  Fallible<NumericBlock> block =
      parseNumericBlock(definition.substr(1), false, std::nullopt, *this, sourceManager);
  if (!block)
    return block.extractError();
  // The ':' that stands for the '=' always makes the block a definition.
  NumericVar *variable = block->definedVariable;
  assert(variable && "a command-line numeric block defines a variable");
  // A block without expression only matches in a pattern; here there is
  // nothing to give the variable a value.
  if (!block->expression.ast) {
    std::string_view expression = definition.substr(definition.find(':') + 1);
    return makeLocatedError(sourceManager, expression, text::missingExpression);
  }
  Fallible<ExprValue> value = block->expression.ast->eval();
  if (!value)
    return value.extractError();
  setNumericValue(variable, *value, std::nullopt);
  return success();
}

std::string PatternContext::numericNameTakenMessage(std::string_view name) {
  return formatPositionalString(text::numericNameTaken, name);
}

void PatternContext::makeLineVariable() {
  lineVar = makeNumericVar("@LINE", std::nullopt);
  setNumericVar("@LINE", lineVar);
}

void PatternContext::clearLocalVariables() {
  for (auto it = values.begin(); it != values.end();) {
    auto current = it++;
    if (!isGlobalName(current->key()))
      values.erase(current);
  }
  for (auto it = numericVars.begin(); it != numericVars.end();) {
    auto current = it++;
    if (!isGlobalName(current->key())) {
      current->value->clearValue();
      numericVars.erase(current);
    }
  }
}

std::optional<std::string_view> PatternContext::stringValue(std::string_view name) const {
  if (const NameMap<std::string_view>::Entry *entry = values.findEntry(name))
    return entry->value;
  return std::nullopt;
}

void PatternContext::setStringValue(std::string_view name, std::string_view value) {
  values[name] = value;
}

NumericVar *PatternContext::makeNumericVar(std::string_view name,
                                           std::optional<size_t> definitionLine,
                                           ValueFormat format) {
  NumericVar *variable = parseArena.make<NumericVar>();
  variable->name = name;
  variable->format = format;
  variable->definitionLine = definitionLine;
  return variable;
}

void PatternContext::setNumericValue(NumericVar *variable, ExprValue value,
                                     std::optional<std::string_view> text) {
  variable->value = value;
  variable->stringValue = text;
  numericVars[variable->name] = variable;
}

PatternRegex *PatternContext::makePatternRegex() { return parseArena.make<PatternRegex>(); }

size_t PatternContext::rememberedSlot(std::string_view text, unsigned flags) const {
  return (std::hash<std::string_view>()(text) ^ flags) & (remembered.size() - 1);
}

PatternRegex *PatternContext::rememberedPattern(std::string_view text, unsigned flags) const {
  if (remembered.empty())
    return nullptr;
  const RememberedPattern &slot = remembered[rememberedSlot(text, flags)];
  return slot.parts && slot.flags == flags && slot.text == text ? slot.parts : nullptr;
}

void PatternContext::rememberPattern(std::string_view text, unsigned flags, PatternRegex *parts) {
  // A power of two: the slot is the hash's low bits.
  constexpr size_t slotCount = 1024;
  if (remembered.empty())
    remembered.resize(slotCount);
  remembered[rememberedSlot(text, flags)] = {text, flags, parts};
}

NameMap<NumericVarDef> *PatternContext::makeNumericVarDefs() {
  ownedNumericVarDefs.push_back(std::make_unique<NameMap<NumericVarDef>>());
  return ownedNumericVarDefs.back().get();
}

void *ParseArena::allocate(size_t size, size_t alignment) {
  // Blocks start small, as most runs parse a few directives, and grow to a
  // size that keeps their count low; a large request gets a block of its
  // own, so that it never leaves the rest of the current block unused.
  constexpr size_t largestBlock = 256 * 1024;
  assert(alignment <= __STDCPP_DEFAULT_NEW_ALIGNMENT__ && "blocks are aligned this far");
  size_t misalignment = reinterpret_cast<uintptr_t>(next) % alignment;
  size_t padding = misalignment ? alignment - misalignment : 0;
  if (next && padding + size <= static_cast<size_t>(end - next)) {
    void *result = next + padding;
    next += padding + size;
    return result;
  }
  if (size > largestBlock / 4)
    return newBlock(size);
  size_t blockSize = std::max(nextBlockSize, size);
  next = newBlock(blockSize);
  end = next + blockSize;
  nextBlockSize = std::min(nextBlockSize * 2, largestBlock);
  void *result = next;
  next += size;
  return result;
}

// Large blocks come from the system with their pages present: the arena
// fills a block from start to end, and taking a page fault for each of its
// pages in turn costs more than the parsing that fills them where faults
// are expensive (virtual machines). The first blocks are small, so that a
// run of a few directives does not take more memory than it uses.
char *ParseArena::newBlock(size_t size) {
  constexpr size_t smallestMapped = 64 * 1024;
  if (size >= smallestMapped) {
    if (char *mapped = mapWithPagesPresent(size)) {
      blocks.push_back({mapped, size, true});
      return mapped;
    }
  }
  blocks.push_back({new char[size], size, false});
  return blocks.back().start;
}

ParseArena::~ParseArena() {
  for (const Block &block : blocks) {
    if (block.isMapped)
      unmapPages(block.start, block.size);
    else
      delete[] block.start;
  }
}

} // namespace vetline
