#pragma once
// The small pictures of buttons and windows, drawn in code.

#include <QIcon>

namespace qordex::shell {

enum class GlyphKind { App, Clear, Save, Tool };

// `letter` and `hue` distinguish the tool buttons (GlyphKind::Tool).
QIcon Glyph(GlyphKind kind, QChar letter = {}, int hue = 210);

} // namespace qordex::shell
