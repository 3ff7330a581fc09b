#include "app/views/InlineMarkdown.h"

namespace app {

QString inlineMarkdownToHtml(const QString& text) {
  QString html;
  qsizetype position = 0;
  while (position < text.size()) {
    const qsizetype open = text.indexOf(QStringLiteral("**"), position);
    const qsizetype close = open < 0 ? -1 : text.indexOf(QStringLiteral("**"), open + 2);
    // Only a pair with text between it marks bold.
    if (open < 0 || close < 0) {
      html += text.mid(position).toHtmlEscaped();
      break;
    }
    if (close == open + 2) {
      html += text.mid(position, close + 2 - position).toHtmlEscaped();
      position = close + 2;
      continue;
    }
    html += text.mid(position, open - position).toHtmlEscaped();
    html += QStringLiteral("<b>") + text.mid(open + 2, close - open - 2).toHtmlEscaped() +
            QStringLiteral("</b>");
    position = close + 2;
  }
  return html;
}

}  // namespace app
