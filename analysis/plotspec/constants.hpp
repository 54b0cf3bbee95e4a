// Limits, render constants and token lists of the visualization contract.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace bv::plotspec {

inline constexpr std::string_view VISUALIZATION_SCHEMA_VERSION = "viz-1.0.0";

inline constexpr int64_t MAX_RANGE_SYMBOLS = 24;
inline constexpr int64_t MAX_OWNERSHIP_ROWS = 200;
inline constexpr int64_t MAX_TREEMAP_SYMBOLS_PER_OBJECT = 40;
inline constexpr int64_t MAX_TREEMAP_OBJECTS_PER_COMPONENT = 80;
inline constexpr int64_t MAX_SANKEY_INPUT_NODES = 160;
inline constexpr int64_t MAX_SANKEY_OUTPUT_NODES = 180;
inline constexpr int64_t MAX_SANKEY_LINKS = 700;
inline constexpr int64_t MAX_GRAPH_COMPONENT_NODES = 24;
inline constexpr int64_t MAX_GRAPH_OBJECT_NODES = 120;
inline constexpr int64_t MAX_GRAPH_SYMBOL_NODES = 160;
inline constexpr int64_t MAX_GRAPH_LINKS = 1200;

inline constexpr std::string_view RENDER_LAYOUT_MODE = "segmented-stacked";
inline constexpr int64_t RENDER_MIN_HEIGHT_PX = 180;
inline constexpr int64_t RENDER_BASE_HEIGHT_PX = 220;
inline constexpr int64_t RENDER_MAX_HEIGHT_PX = 760;

// Section-kind tokens. Several lists carry the "." and "$" markers of different
// linkers' section naming so that one list covers several toolchains.
inline constexpr std::array<std::string_view, 2> STACK_TOKENS{"stack", "stacks"};
inline constexpr std::array<std::string_view, 1> HEAP_TOKENS{"heap"};
inline constexpr std::array<std::string_view, 1> RESERVED_TOKENS{"reserved"};
inline constexpr std::array<std::string_view, 3> PROTECTED_TOKENS{"protect", "protected", "secure"};

// Section-role tokens, tested in the order vectors, stack, heap, bss, rodata, data, text.
inline constexpr std::array<std::string_view, 6> ROLE_VECTOR_TOKENS{"vector",      "intvec",       "isr_vector",
                                                                    "isr_table",   "reset_vector", ".vectors"};
inline constexpr std::array<std::string_view, 6> ROLE_BSS_TOKENS{".bss", "$$zi", "$zi$", ".sbss", ".tbss", ".noinit"};
inline constexpr std::array<std::string_view, 7> ROLE_DATA_TOKENS{".data",   "$$rw",    "$rw$",     ".sdata",
                                                                  ".tdata",  ".rwdata", ".initdata"};
inline constexpr std::array<std::string_view, 8> ROLE_RODATA_TOKENS{".rodata",  ".srodata", ".rdata",       ".const",
                                                                    "$$ro$$ro", "$ro$ro",   ".init_array", ".fini_array"};
inline constexpr std::array<std::string_view, 6> ROLE_TEXT_TOKENS{".text", ".init",      ".fini",
                                                                  ".plt",  "$$ro$$code", "$ro$code"};
inline constexpr std::array<std::string_view, 1> ROLE_HEAP_TOKENS{"heap"};
inline constexpr std::array<std::string_view, 2> ROLE_STACK_TOKENS{"stack", "cstack"};

}  // namespace bv::plotspec
