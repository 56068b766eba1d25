# Script mode (cmake -P): writes OUTPUT, a C++ source that defines
# velk::builtin_setup_files() (product/builtin_setups.h) from every regular
# file under SETUPS_DIR. The bytes go in as hex arrays, so any content,
# including NUL bytes and invalid UTF-8, survives exactly.
if(NOT SETUPS_DIR OR NOT OUTPUT)
  message(FATAL_ERROR "embed_setups.cmake needs SETUPS_DIR and OUTPUT")
endif()

file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${SETUPS_DIR} ${SETUPS_DIR}/*)
# STRING comparison is byte order: the order in which the files are written.
list(SORT files COMPARE STRING)

set(arrays "")
set(table "")
set(index 0)
foreach(rel IN LISTS files)
  file(READ ${SETUPS_DIR}/${rel} hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  if(size EQUAL 0)
    set(bytes "0")
  else()
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    # Lines of 8 bytes keep the generated source readable.
    string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],)(0x[0-9a-f][0-9a-f],)(0x[0-9a-f][0-9a-f],)(0x[0-9a-f][0-9a-f],)(0x[0-9a-f][0-9a-f],)(0x[0-9a-f][0-9a-f],)(0x[0-9a-f][0-9a-f],)(0x[0-9a-f][0-9a-f],))"
           "\\1\n  " bytes "${bytes}")
  endif()
  # The relative path as a string literal with every byte escaped.
  string(LENGTH "${rel}" rel_size)
  string(HEX "${rel}" rel_hex)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" rel_literal "${rel_hex}")
  string(APPEND arrays "// ${rel}\nconst unsigned char file_${index}[] = {\n  ${bytes}\n};\n\n")
  string(APPEND table
    "    {std::string_view(\"${rel_literal}\", ${rel_size}),\n"
    "     std::string_view(reinterpret_cast<const char*>(file_${index}), ${size})},\n")
  math(EXPR index "${index} + 1")
endforeach()

if(index EQUAL 0)
  message(FATAL_ERROR "no setup files under ${SETUPS_DIR}")
endif()

set(source "// Generated from ${SETUPS_DIR} at build time; do not edit.
#include \"product/builtin_setups.h\"

namespace velk {
namespace {

${arrays}const BuiltinFile kFiles[] = {
${table}};

}  // namespace

std::span<const BuiltinFile> builtin_setup_files() { return kFiles; }

}  // namespace velk
")
# Rewritten only when the content changes, so an unchanged catalog does not
# rebuild the library.
file(WRITE ${OUTPUT}.tmp "${source}")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
