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
  sidebarRow(p, QRectF(side.left() + 8, side.top() + 78, side.width() - 16, 30), "Events", false);
  sidebarRow(p, QRectF(side.left() + 8, side.top() + 112, side.width() - 16, 30), "Processes",
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

// The application's window with its sidebar, `selected` highlighted; returns the detail area.
QRectF appWindow(QPainter& p, const QRectF& frame, int selected) {
  const QRectF content = window(p, frame, "Corvane Endpoint");
  const QRectF side(content.left(), content.top(), 170, content.height());
  p.setPen(Qt::NoPen);
  p.setBrush(kSidebar);
  p.drawRect(side.adjusted(1, 0, 0, -10));
  p.setPen(QPen(kLine, 1));
  p.drawLine(side.topRight(), side.bottomRight() - QPointF(0, 10));
  const QStringList rows{"Install agent", "Uninstall agent", "Events", "Processes"};
  for (int i = 0; i < rows.size(); ++i)
    sidebarRow(p, QRectF(side.left() + 8, side.top() + 10 + i * 34, side.width() - 16, 30), rows[i],
               i == selected);
  return QRectF(side.right() + 1, content.top(), content.right() - side.right() - 1,
                content.height());
}

void field(QPainter& p, const QRectF& box, const QString& content, bool focused) {
  p.setPen(QPen(focused ? kAccent : kLine, focused ? 2 : 1));
  p.setBrush(Qt::white);
  p.drawRoundedRect(box, 6, 6);
  text(p, box.adjusted(12, 0, -12, 0), content, 14, kInk);
}

// PolicyKit's authentication window over the dimmed application.
void drawAuthenticate(QPainter& p) {
  const int h = 380;
  backdrop(p, h);
  const QRectF behind = appWindow(p, QRectF(14, 14, kWidth - 28, h - 28), 0);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0, 0, 0, 40));
  p.drawRect(QRectF(15, 53, kWidth - 30, h - 68));
  Q_UNUSED(behind);

  const QRectF dialog(kWidth / 2.0 - 220, 44, 440, 318);
  p.setBrush(QColor(0, 0, 0, 45));
  p.drawRoundedRect(dialog.translated(0, 4), 14, 14);
  p.setBrush(Qt::white);
  p.setPen(QPen(kLine, 1));
  p.drawRoundedRect(dialog, 14, 14);
  // padlock
  const QPointF c(dialog.center().x(), dialog.top() + 36);
  p.setPen(QPen(kInk, 4, Qt::SolidLine, Qt::RoundCap));
  p.setBrush(Qt::NoBrush);
  p.drawArc(QRectF(c.x() - 10, c.y() - 20, 20, 24), 0, 180 * 16);
  p.drawLine(c + QPointF(-10, -8), c + QPointF(-10, -2));
  p.drawLine(c + QPointF(10, -8), c + QPointF(10, -2));
  p.setPen(Qt::NoPen);
  p.setBrush(kInk);
  p.drawRoundedRect(QRectF(c.x() - 16, c.y() - 3, 32, 24), 4, 4);

  text(p, QRectF(dialog.left() + 20, dialog.top() + 66, dialog.width() - 40, 24),
       "Authentication Required", 17, kInk, true, Qt::AlignCenter);
  text(p, QRectF(dialog.left() + 30, dialog.top() + 94, dialog.width() - 60, 44),
       "Authentication is required to install or remove the Corvane Endpoint agent, which runs "
       "as root.",
       12, kMuted, false, Qt::AlignHCenter | Qt::AlignTop);
  const qreal inner = dialog.left() + 40;
  const qreal innerWidth = dialog.width() - 80;
  field(p, QRectF(inner, dialog.top() + 146, innerWidth, 34), "Administrator (admin)  \u25BE",
        false);
  const QRectF password(inner, dialog.top() + 192, innerWidth, 34);
  field(p, password, "\u2022\u2022\u2022\u2022\u2022\u2022\u2022\u2022", true);
  text(p, QRectF(inner, dialog.top() + 192, innerWidth - 12, 34), "Password", 11, kMuted, false,
       Qt::AlignRight | Qt::AlignVCenter);
  const QRectF cancel(inner, dialog.bottom() - 64, 150, 36);
  const QRectF authenticate(dialog.right() - 40 - 170, dialog.bottom() - 64, 170, 36);
  button(p, cancel, "Cancel", false);
  button(p, authenticate, "Authenticate", true);
  mark(p, password, 8);
  mark(p, authenticate);
  pointer(p, authenticate.center() + QPointF(40, 6));
}

// The uninstall screen once the agent's service answers.
void drawAgentInstalled(QPainter& p) {
  const int h = 300;
  backdrop(p, h);
  const QRectF pane = appWindow(p, QRectF(14, 14, kWidth - 28, h - 28), 1);
  const QRectF status(pane.left() + 20, pane.center().y() - 44, pane.width() - 40, 26);
  text(p, status, "Agent Status: Installed", 15, kInk, true, Qt::AlignCenter);
  mark(p, QRectF(pane.center().x() - 100, status.top(), 200, status.height()), 8);
  button(p, QRectF(pane.center().x() - 48, pane.center().y() + 6, 96, 34), "Remove", false);
  text(p, QRectF(pane.left() + 20, pane.center().y() + 56, pane.width() - 40, 40),
       "watchagent.service \u00B7 active (running)", 12, kMuted, false, Qt::AlignCenter);
}

// A terminal asking systemd and the agent itself.
void drawCheckTheAgent(QPainter& p) {
  const int h = 330;
  backdrop(p, h);
  const QRectF frame(14, 14, kWidth - 28, h - 28);
  const QRectF content = window(p, frame, "Terminal");
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x1e, 0x22, 0x2a));
  QPainterPath screen;
  screen.addRoundedRect(content.adjusted(0.5, 0, -0.5, -0.5), 9.5, 9.5);
  screen.addRect(content.adjusted(0.5, 0, -0.5, -20));
  screen.setFillRule(Qt::WindingFill);
  p.drawPath(screen.simplified());
  const QColor prompt(0x8a, 0xd0, 0x6b);
  const QColor plain(0xe6, 0xe8, 0xeb);
  const QColor dim(0x9a, 0xa3, 0xae);
  const QColor good(0x5f, 0xd0, 0x7a);
  struct Line {
    QString words;
    QColor color;
    bool bold;
  };
  const Line lines[] = {
      {"$ systemctl status watchagent", prompt, true},
      {"\u25CF watchagent.service - Corvane Endpoint agent (watchagent)", plain, false},
      {"     Loaded: loaded (/lib/systemd/system/watchagent.service; enabled)", dim, false},
      {"     Active: active (running) since Mon 09:41:07 UTC", good, true},
      {"   Main PID: 812 (watchagent)", dim, false},
      {"", plain, false},
      {"$ watchctl ping", prompt, true},
      {"established", good, true},
  };
  QFont mono(QStringLiteral("DejaVu Sans Mono"));
  mono.setPixelSize(13);
  mono.setHintingPreference(QFont::PreferNoHinting);
  qreal y = content.top() + 16;
  for (const Line& line : lines) {
    mono.setBold(line.bold);
    p.setFont(mono);
    p.setPen(line.color);
    p.drawText(QRectF(content.left() + 16, y, content.width() - 32, 22),
               Qt::AlignLeft | Qt::AlignVCenter, line.words);
    y += 26;
  }
  mark(p, QRectF(content.left() + 16, content.top() + 16 + 3 * 26, 330, 22), 6);
  mark(p, QRectF(content.left() + 16, content.top() + 16 + 7 * 26, 100, 22), 6);
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
            save(out, "AuthenticateAdministrator", 380, drawAuthenticate) &&
            save(out, "AgentInstalled", 300, drawAgentInstalled) &&
            save(out, "CheckTheAgent", 330, drawCheckTheAgent);
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
