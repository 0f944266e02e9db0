#include "style.hpp"

#include "runtime/consts.hpp"

namespace sorvani {

using namespace rt;

Ref title_template(Line& at, int layout_line, int keywords_line, int font_line) {
    at(layout_line);
    Ref layout_type = getattr(global(S.go), S.Layout);
    at(keywords_line);
    Ref title_font = dict({{S.family, S.Rockwell}, {S.size, N.i24}, {S.color, S.gray}});
    at(font_line);
    Ref font = dict({{S.color, S.green}});
    at(layout_line);
    Ref layout =
        call(layout_type, {}, {{S.title_font, title_font}, {S.title_x, N.i0}, {S.font, font}});
    return dict({{S.layout, layout}});
}

Ref rows_where(Obj df, Obj column, Obj value) {
    Ref mask = eq(getitem(df, column), value);
    return getitem(df, mask);
}

bool non_empty_text(Obj value) noexcept {
    return PyUnicode_Check(value.get()) && PyUnicode_GET_LENGTH(value.get()) > 0;
}

}  // namespace sorvani
