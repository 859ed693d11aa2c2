# cmake -DOBJECT=in -DOUTPUT=out.cpp -DSYMBOL=name -DNAMESPACE=ns -P embed_object.cmake
# Writes the bytes of OBJECT into a C++ source, as the body of NAMESPACE::SYMBOL().
file(READ ${OBJECT} hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR byte_count "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n" bytes "${bytes}")
file(WRITE ${OUTPUT} "// Generated from ${OBJECT}; do not edit.
#include <cstddef>
#include <span>

namespace ${NAMESPACE} {
namespace {
alignas(8) const unsigned char object_bytes[${byte_count}] = {
${bytes}
};
}  // namespace

std::span<const unsigned char> ${SYMBOL}() { return {object_bytes, ${byte_count}}; }
}  // namespace ${NAMESPACE}
")
