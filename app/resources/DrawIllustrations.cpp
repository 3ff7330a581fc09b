// Draws the instruction illustrations and the application icon at build time, so they are ours,
// drawn for a Linux desktop, and sharp: each is rendered at twice its size in points
// ("<name>@2x.png") and shown at most 500 points wide.
//
//   draw_illustrations OUTPUT_DIRECTORY
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>
#include <functional>

namespace {

constexpr int kWidth = 625;  // points; 80 % of it is the 500-point bound of the screen
constexpr qreal kScale = 2.0;

const QColor kInk(0x24, 0x29, 0x33);
const QColor kMuted(0x6b, 0x72, 0x80);
const QColor kLine(0xd6, 0xd9, 0xde);
const QColor kWindow(0xfa, 0xfa, 0xfb);
const QColor kHeader(0xeb, 0xec, 0xef);
const QColor kSidebar(0xf1, 0xf2, 0xf4);
const QColor kAccent(0x2f, 0x6f, 0xd6);
const QColor kAccentSoft(0xdc, 0xe8, 0xfb);
const QColor kMark(0xe8, 0x6a, 0x10);  // the ring around what to click
const QColor kBackdrop(0xe4, 0xe9, 0xf0);

QFont font(qreal pixels, bool bold = false) {
  QFont f(QStringLiteral("DejaVu Sans"));
  f.setPixelSize(static_cast<int>(pixels));  // painter units: points of the picture
  f.setBold(bold);
  f.setHintingPreference(QFont::PreferNoHinting);
  return f;
}

void text(QPainter& p, const QRectF& box, const QString& words, qreal size, const QColor& color,
          bool bold = false, int flags = Qt::AlignLeft | Qt::AlignVCenter) {
  p.setFont(font(size, bold));
  p.setPen(color);
  p.drawText(box, flags | Qt::TextWordWrap, words);
}

void backdrop(QPainter& p, int height) {
  QLinearGradient g(0, 0, 0, height);
  g.setColorAt(0, kBackdrop);
  g.setColorAt(1, kBackdrop.darker(106));
  p.fillRect(QRectF(0, 0, kWidth, height), g);
}

// A desktop window with a header bar; returns the content rectangle.
QRectF window(QPainter& p, const QRectF& frame, const QString& title) {
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0, 0, 0, 28));
  p.drawRoundedRect(frame.translated(0, 3), 10, 10);
  p.setBrush(kWindow);
  p.setPen(QPen(kLine, 1));
  p.drawRoundedRect(frame, 10, 10);
  p.setPen(Qt::NoPen);
  p.setBrush(kHeader);
  const QRectF bar(frame.left() + 0.5, frame.top() + 0.5, frame.width() - 1, 38);
  p.drawRoundedRect(bar, 9.5, 9.5);
  p.drawRect(QRectF(bar.left(), bar.top() + 20, bar.width(), 18));
  p.setPen(QPen(kLine, 1));
  p.drawLine(QPointF(frame.left(), frame.top() + 38), QPointF(frame.right(), frame.top() + 38));
  text(p, QRectF(frame.left(), frame.top(), frame.width(), 38), title, 14, kInk, true,
       Qt::AlignCenter);
  // window buttons at the right, as a GNOME header bar has them
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xd3, 0xd5, 0xd9));
  for (int i = 0; i < 3; ++i)
    p.drawEllipse(QPointF(frame.right() - 18 - i * 22, frame.top() + 19), 7, 7);
  return QRectF(frame.left(), frame.top() + 39, frame.width(), frame.height() - 39);
}

void button(QPainter& p, const QRectF& box, const QString& label, bool suggested) {
  p.setPen(QPen(suggested ? kAccent.darker(110) : kLine, 1));
  p.setBrush(suggested ? kAccent : QColor(0xf6, 0xf6, 0xf7));
  p.drawRoundedRect(box, 6, 6);
  text(p, box, label, 14, suggested ? Qt::white : kInk, true, Qt::AlignCenter);
}

void mark(QPainter& p, const QRectF& around, qreal radius = 9) {
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(kMark, 3));
  p.drawRoundedRect(around.adjusted(-6, -6, 6, 6), radius, radius);
}

void pointer(QPainter& p, const QPointF& tip) {
  QPainterPath arrow;
  arrow.moveTo(tip);
  arrow.lineTo(tip + QPointF(0, 24));
  arrow.lineTo(tip + QPointF(6, 18));
  arrow.lineTo(tip + QPointF(11, 28));
  arrow.lineTo(tip + QPointF(15, 26));
  arrow.lineTo(tip + QPointF(10, 16));
  arrow.lineTo(tip + QPointF(18, 16));
  arrow.closeSubpath();
  p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(kInk);
  p.drawPath(arrow);
}

void toggle(QPainter& p, const QPointF& at, bool on) {
  const QRectF track(at, QSizeF(44, 24));
  p.setPen(Qt::NoPen);
  p.setBrush(on ? kAccent : QColor(0xc9, 0xcc, 0xd1));
  p.drawRoundedRect(track, 12, 12);
  p.setBrush(Qt::white);
  p.drawEllipse(QPointF(on ? track.right() - 12 : track.left() + 12, track.center().y()), 9, 9);
}

// Faint lines standing for text that does not matter in the picture.
void filler(QPainter& p, const QRectF& box, int lines) {
  p.setPen(Qt::NoPen);
  p.setBrush(kLine);
  for (int i = 0; i < lines; ++i) {
    const qreal width = box.width() * (i % 3 == 2 ? 0.55 : 0.92);
    p.drawRoundedRect(QRectF(box.left(), box.top() + i * 16, width, 7), 3.5, 3.5);
  }
}

void sidebarRow(QPainter& p, const QRectF& box, const QString& label, bool selected) {
  if (selected) {
    p.setPen(Qt::NoPen);
    p.setBrush(kAccentSoft);
    p.drawRoundedRect(box, 6, 6);
  }
  text(p, box.adjusted(10, 0, -4, 0), label, 14, selected ? kAccent.darker(120) : kInk, selected);
}

// A settings window with its sidebar; returns the right pane.
QRectF settings(QPainter& p, const QRectF& frame, const QStringList& rows, int selected,
                bool markSelected = false) {
  const QRectF content = window(p, frame, QStringLiteral("Settings"));
  const QRectF side(content.left(), content.top(), 200, content.height());
  p.setPen(Qt::NoPen);
  p.setBrush(kSidebar);
  p.drawRect(side.adjusted(1, 0, 0, -10));
  p.setPen(QPen(kLine, 1));
  p.drawLine(side.topRight(), side.bottomRight() - QPointF(0, 10));
  for (int i = 0; i < rows.size(); ++i) {
    const QRectF row(side.left() + 8, side.top() + 10 + i * 34, side.width() - 16, 30);
    sidebarRow(p, row, rows[i], i == selected);
    if (i == selected && markSelected) mark(p, row, 8);
  }
  return QRectF(side.right() + 18, content.top() + 14, content.right() - side.right() - 36,
                content.height() - 28);
}

void listRow(QPainter& p, const QRectF& box, const QString& title, const QString& subtitle,
             std::function<void(const QRectF&)> trailing) {
  p.setPen(QPen(kLine, 1));
  p.setBrush(Qt::white);
  p.drawRoundedRect(box, 8, 8);
  if (subtitle.isEmpty()) {
    text(p, box.adjusted(14, 0, -80, 0), title, 14, kInk);
  } else {
    text(p, QRectF(box.left() + 14, box.top() + 6, box.width() - 90, 20), title, 14, kInk);
    text(p, QRectF(box.left() + 14, box.top() + 26, box.width() - 90, 18), subtitle, 12, kMuted);
  }
  if (trailing) trailing(box);
}

void drawClickInstall(QPainter& p) {
  const int h = 340;
  backdrop(p, h);
  const QRectF content = window(p, QRectF(14, 14, kWidth - 28, h - 28), "Corvane Endpoint");
  const QRectF side(content.left(), content.top(), 150, content.height());
  p.setPen(Qt::NoPen);
  p.setBrush(kSidebar);
  p.drawRect(side.adjusted(1, 0, 0, -10));
  p.setPen(QPen(kLine, 1));
  p.drawLine(side.topRight(), side.bottomRight() - QPointF(0, 10));
  sidebarRow(p, QRectF(side.left() + 8, side.top() + 10, side.width() - 16, 30), "Install agent",
             true);
  sidebarRow(p, QRectF(side.left() + 8, side.top() + 44, side.width() - 16, 30), "Uninstall agent",
             false);

  const QRectF pane(side.right() + 10, content.top() + 10, 200, content.height() - 20);
  text(p, QRectF(pane.left(), pane.top() + 60, pane.width(), 22),
       QStringLiteral("See instructions to the right \u2192"), 13, kInk, false, Qt::AlignCenter);
  text(p, QRectF(pane.left(), pane.top() + 88, pane.width(), 22),
       QStringLiteral("Click Install to get started."), 13, kInk, false, Qt::AlignCenter);
  const QRectF install(pane.center().x() - 48, pane.top() + 124, 96, 34);
  button(p, install, "Install", true);
  mark(p, install);
  pointer(p, install.center() + QPointF(22, 8));

  p.setPen(QPen(kLine, 1));
  p.drawLine(QPointF(pane.right() + 8, content.top()),
             QPointF(pane.right() + 8, content.bottom() - 10));
  const QRectF steps(pane.right() + 24, content.top() + 18, content.right() - pane.right() - 40, 0);
  text(p, QRectF(steps.left(), steps.top(), steps.width(), 20), "Step 1: Click Install Button", 13,
       kInk, true);
  filler(p, QRectF(steps.left(), steps.top() + 30, steps.width(), 60), 3);
  p.setPen(Qt::NoPen);
  p.setBrush(kSidebar);
  p.drawRoundedRect(QRectF(steps.left(), steps.top() + 84, steps.width(), 90), 6, 6);
  filler(p, QRectF(steps.left(), steps.top() + 194, steps.width(), 40), 2);
}

void drawOpenSystemSettings(QPainter& p) {
  const int h = 330;
  backdrop(p, h);
  // The application dimmed behind the prompt.
  const QRectF behind = window(p, QRectF(14, 14, kWidth - 28, h - 28), "Corvane Endpoint");
  QPainterPath dim;
  dim.addRoundedRect(behind.adjusted(0.5, 0, -0.5, -0.5), 10, 10);
  dim.addRect(behind.adjusted(0.5, 0, -0.5, -20));
  dim.setFillRule(Qt::WindingFill);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0, 0, 0, 40));
  p.drawPath(dim.simplified());

  const QRectF dialog(kWidth / 2.0 - 200, 60, 400, 236);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0, 0, 0, 45));
  p.drawRoundedRect(dialog.translated(0, 4), 14, 14);
  p.setBrush(Qt::white);
  p.setPen(QPen(kLine, 1));
  p.drawRoundedRect(dialog, 14, 14);
  // shield badge
  const QPointF c(dialog.center().x(), dialog.top() + 38);
  QPainterPath shield;
  shield.moveTo(c + QPointF(0, -20));
  shield.cubicTo(c + QPointF(10, -14), c + QPointF(18, -14), c + QPointF(18, -14));
  shield.lineTo(c + QPointF(18, 2));
  shield.cubicTo(c + QPointF(18, 14), c + QPointF(6, 20), c + QPointF(0, 23));
  shield.cubicTo(c + QPointF(-6, 20), c + QPointF(-18, 14), c + QPointF(-18, 2));
  shield.lineTo(c + QPointF(-18, -14));
  shield.cubicTo(c + QPointF(-18, -14), c + QPointF(-10, -14), c + QPointF(0, -20));
  p.setPen(Qt::NoPen);
  p.setBrush(kAccent);
  p.drawPath(shield);
  p.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.drawPolyline(QPolygonF({c + QPointF(-7, 1), c + QPointF(-2, 7), c + QPointF(8, -5)}));

  text(p, QRectF(dialog.left() + 20, dialog.top() + 68, dialog.width() - 40, 24),
       "Background Agent Needs Approval", 16, kInk, true, Qt::AlignCenter);
  text(p, QRectF(dialog.left() + 30, dialog.top() + 96, dialog.width() - 60, 60),
       "\u201CCorvane Endpoint\u201D installed an agent that watches this computer. "
       "Allow it in System Settings.",
       13, kMuted, false, Qt::AlignHCenter | Qt::AlignTop);
  const QRectF ok(dialog.left() + 24, dialog.bottom() - 60, 120, 36);
  const QRectF open(dialog.right() - 24 - 210, dialog.bottom() - 60, 210, 36);
  button(p, ok, "OK", false);
  button(p, open, "Open System Settings", true);
  mark(p, open);
  pointer(p, open.center() + QPointF(50, 6));
}

void drawEnableAgent(QPainter& p) {
  const int h = 360;
  backdrop(p, h);
  const QRectF pane =
      settings(p, QRectF(14, 14, kWidth - 28, h - 28),
               {"Network", "Notifications", "Background Agents", "Privacy & Security", "Users"}, 2);
  text(p, QRectF(pane.left(), pane.top(), pane.width(), 24), "Background Agents", 17, kInk, true);
  text(p, QRectF(pane.left(), pane.top() + 28, pane.width(), 36),
       "Agents run as root and start with the computer.", 12, kMuted, false,
       Qt::AlignLeft | Qt::AlignTop);
  const QRectF row(pane.left(), pane.top() + 76, pane.width(), 52);
  QRectF switchBox;
  listRow(p, row, "Corvane Endpoint", "watchagent \u00B7 endpoint monitor", [&](const QRectF& b) {
    switchBox = QRectF(b.right() - 58, b.center().y() - 12, 44, 24);
    toggle(p, switchBox.topLeft(), true);
  });
  mark(p, switchBox, 14);
  pointer(p, switchBox.center() + QPointF(4, 6));
  listRow(p, QRectF(pane.left(), pane.top() + 140, pane.width(), 52), "Backup Service",
          "nightly copies",
          [&](const QRectF& b) { toggle(p, QPointF(b.right() - 58, b.center().y() - 12), false); });
  filler(p, QRectF(pane.left(), pane.top() + 214, pane.width() * 0.8, 40), 2);
}

void drawGoToFullDiskAccess(QPainter& p) {
  const int h = 380;
  backdrop(p, h);
  const QRectF pane = settings(
      p, QRectF(14, 14, kWidth - 28, h - 28),
      {"Network", "Notifications", "Background Agents", "Privacy & Security", "Users"}, 3, true);
  text(p, QRectF(pane.left(), pane.top(), pane.width(), 24), "Privacy & Security", 17, kInk, true);
  const QStringList rows{"Location Services", "Full Disk Access", "Files and Folders",
                         "Screen Recording", "Camera"};
  for (int i = 0; i < rows.size(); ++i) {
    const QRectF row(pane.left(), pane.top() + 38 + i * 50, pane.width(), 42);
    listRow(p, row, rows[i], {}, [&](const QRectF& b) {
      p.setPen(QPen(kMuted, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      const QPointF c(b.right() - 20, b.center().y());
      p.drawPolyline(QPolygonF({c + QPointF(-4, -6), c + QPointF(2, 0), c + QPointF(-4, 6)}));
    });
    if (i == 1) {
      mark(p, row);
      pointer(p, QPointF(row.left() + 150, row.center().y() + 2));
    }
  }
}

void drawEnableFullDiskAccess(QPainter& p) {
  const int h = 350;
  backdrop(p, h);
  const QRectF pane =
      settings(p, QRectF(14, 14, kWidth - 28, h - 28),
               {"Network", "Notifications", "Background Agents", "Privacy & Security", "Users"}, 3);
  text(p, QRectF(pane.left(), pane.top(), pane.width(), 24), "\u2039  Full Disk Access", 17, kInk,
       true);
  text(p, QRectF(pane.left(), pane.top() + 28, pane.width(), 36),
       "Allow these programs to read every file on this computer.", 12, kMuted, false,
       Qt::AlignLeft | Qt::AlignTop);
  const QStringList rows{"Corvane Endpoint Agent", "Terminal", "Backup Service"};
  for (int i = 0; i < rows.size(); ++i) {
    const QRectF row(pane.left(), pane.top() + 76 + i * 52, pane.width(), 44);
    QRectF switchBox;
    listRow(p, row, rows[i], {}, [&](const QRectF& b) {
      switchBox = QRectF(b.right() - 58, b.center().y() - 12, 44, 24);
      toggle(p, switchBox.topLeft(), i == 0);
    });
    if (i == 0) {
      mark(p, switchBox, 14);
      pointer(p, switchBox.center() + QPointF(4, 6));
    }
  }
}

void drawIcon(QPainter& p, int size) {
  const qreal s = size / 256.0;
  p.scale(s, s);
  QLinearGradient g(0, 0, 0, 256);
  g.setColorAt(0, QColor(0x1f, 0x4e, 0x9c));
  g.setColorAt(1, QColor(0x12, 0x2b, 0x5c));
  p.setPen(Qt::NoPen);
  p.setBrush(g);
  p.drawRoundedRect(QRectF(8, 8, 240, 240), 52, 52);
  QPainterPath shield;
  shield.moveTo(128, 40);
  shield.cubicTo(160, 58, 184, 60, 200, 60);
  shield.lineTo(200, 124);
  shield.cubicTo(200, 174, 164, 204, 128, 222);
  shield.cubicTo(92, 204, 56, 174, 56, 124);
  shield.lineTo(56, 60);
  shield.cubicTo(72, 60, 96, 58, 128, 40);
  p.setBrush(QColor(0xf4, 0xf7, 0xfc));
  p.drawPath(shield);
  // a pulse line across the shield: the agent watching
  p.setPen(QPen(QColor(0x2f, 0x6f, 0xd6), 14, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.drawPolyline(QPolygonF({QPointF(74, 132), QPointF(104, 132), QPointF(118, 100),
                            QPointF(138, 164), QPointF(152, 132), QPointF(182, 132)}));
}

bool save(const QString& directory, const QString& name, int heightPoints,
          const std::function<void(QPainter&)>& draw) {
  QImage image(static_cast<int>(kWidth * kScale), static_cast<int>(heightPoints * kScale),
               QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  {
    QPainter p(&image);
    p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing |
                     QPainter::SmoothPixmapTransform);
    p.scale(kScale, kScale);
    draw(p);
  }
  return image.save(directory + "/" + name + "@2x.png");
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication application(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: draw_illustrations OUTPUT_DIRECTORY\n");
    return 2;
  }
  const QString out = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(out);
  bool ok = save(out, "ClickInstall", 340, drawClickInstall) &&
            save(out, "OpenSystemSettings", 330, drawOpenSystemSettings) &&
            save(out, "EnableWatchagent", 360, drawEnableAgent) &&
            save(out, "GoToFullDiskAccess", 380, drawGoToFullDiskAccess) &&
            save(out, "EnableFullDiskAccess", 350, drawEnableFullDiskAccess);
  for (int size : {64, 128, 256}) {
    QImage icon(size, size, QImage::Format_ARGB32_Premultiplied);
    icon.fill(Qt::transparent);
    {
      QPainter p(&icon);
      p.setRenderHint(QPainter::Antialiasing);
      drawIcon(p, size);
    }
    ok = ok && icon.save(out + QString("/corvane-endpoint-%1.png").arg(size));
  }
  if (!ok) {
    std::fprintf(stderr, "draw_illustrations: cannot write into %s\n", argv[1]);
    return 1;
  }
  return 0;
}
