# Writes OUTPUT, a C++ file that defines the constant NAME (a std::string_view in namespace orv)
# as the bytes of INPUT, a text file the program serves as it is.
# cmake -DINPUT=... -DOUTPUT=... -DNAME=... -P embed.cmake
cmake_minimum_required(VERSION 3.25)
file(READ "${INPUT}" content)
if(content MATCHES "\\)embedded\"")
  message(FATAL_ERROR "${INPUT} holds the raw string's end marker")
endif()
file(CONFIGURE OUTPUT "${OUTPUT}" @ONLY CONTENT
"// Built from ${INPUT} by cmake/embed.cmake.
#include <string_view>

namespace orv {
extern const std::string_view ${NAME};
const std::string_view ${NAME} = R\"embedded(@content@)embedded\";
}  // namespace orv
")
