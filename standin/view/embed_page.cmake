# Makes the header that holds the live page: cmake -DIN=page.html -DOUT=view_page.h -P embed_page.cmake
file(READ "${IN}" content)
file(WRITE "${OUT}" "// Made from standin/view/page.html by embed_page.cmake: the live page, with @WIDTH@,\n"
  "// @HEIGHT@, @MAJOR@ and @PID@ to fill in.\n#pragma once\n\nnamespace standin::view {\n\n"
  "inline constexpr const char kPage[] = R\"page(${content})page\";\n\n} // namespace standin::view\n")
