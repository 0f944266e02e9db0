// Pieces shared by the figures: the title template, row selection by id, the id list.
#pragma once

#include "runtime/ops.hpp"

namespace sorvani {

// `{"layout": go.Layout(title_font=dict(family="Rockwell", size=24, color="gray"), title_x=0,
// font=dict(color="green"))}`, built anew for each figure. `layout_line` marks the lookup and
// the call of `Layout` and the template dict, `keywords_line` its keywords and the title font,
// `font_line` the font.
rt::Ref title_template(rt::Line& at, int layout_line, int keywords_line, int font_line);

// `df[df[column] == value]`.
rt::Ref rows_where(rt::Obj df, rt::Obj column, rt::Obj value);

// True for a `str` that is not empty; false for None or "" (the values a type-tested optional
// text parameter can hold).
bool non_empty_text(rt::Obj value) noexcept;

}  // namespace sorvani
