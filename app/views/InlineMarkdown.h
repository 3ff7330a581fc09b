// The inline Markdown of the screens' texts: "**bold**" becomes bold, everything else is shown
// as written (HTML special characters included).
#pragma once

#include <QString>

namespace app {

// Rich text for a QLabel. An unpaired "**" is shown literally.
QString inlineMarkdownToHtml(const QString& text);

}  // namespace app
