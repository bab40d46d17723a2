# Writes OUT, a C++ file holding the Lua body IN as tq::wireshark::kBody.
file(READ ${IN} body)
string(FIND "${body}" ")lua\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${IN} contains the raw-string delimiter )lua\"")
endif()
file(WRITE ${OUT}.tmp "#include <string_view>\nnamespace tq::wireshark {\nextern const std::string_view kBody;\nconst std::string_view kBody = R\"lua(${body})lua\";\n}\n")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
