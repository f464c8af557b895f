// Build-time tool: turns the program's XPM icon into the PNG a desktop entry can name.
#include <QImage>

#include <cstdio>

namespace {

// Menus show icons at 48 px and above; whole-number scaling keeps the 16-colour pixels crisp.
constexpr int kScale = 4;

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s ICON.xpm ICON.png\n", argv[0]);
        return 2;
    }
    const QImage icon(QString::fromLocal8Bit(argv[1]));
    if (icon.isNull()) {
        std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[1]);
        return 1;
    }
    const QImage scaled = icon.scaled(icon.size() * kScale, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    if (!scaled.save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[2]);
        return 1;
    }
    return 0;
}
