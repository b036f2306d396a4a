// The lamp button: where the lamp and caption land, the pressed shift, the edges, the
// transparent colour and the disabled look, checked on rendered pixels.
#include <QApplication>
#include <QEnterEvent>
#include <QSignalSpy>
#include <QtTest>

#include <optional>

#include "app/dialog_units.h"
#include "controls/image_button.h"
#include "res/resource.h"

static void InitResources() {
    Q_INIT_RESOURCE(tarvik);
}

namespace tarvik {

namespace {

constexpr QRgb kGreen = qRgb(0, 255, 0);
constexpr QRgb kField = qRgb(240, 240, 240);
constexpr QRgb kLampRed = qRgb(255, 0, 0);
constexpr QRgb kLampBlack = qRgb(0, 0, 0);
// Distinct system colours, so that every pixel tells which part painted it.
constexpr QRgb kFace = qRgb(180, 180, 200);
constexpr QRgb kText = qRgb(10, 20, 30);
constexpr QRgb kLight = qRgb(250, 250, 250);
constexpr QRgb kMidlight = qRgb(220, 220, 220);
constexpr QRgb kDark = qRgb(100, 100, 100);
constexpr QRgb kShadow = qRgb(40, 40, 40);
constexpr QSize kButtonSize{134, 40};  // about the window's 67 x 14 dialog units
constexpr QPoint kLampCentre{32, 12};  // in both bitmaps
constexpr int kBitmapHeight = 25;

QPalette TestPalette() {
    QPalette palette;
    palette.setColor(QPalette::Button, kFace);
    palette.setColor(QPalette::ButtonText, kText);
    palette.setColor(QPalette::Light, kLight);
    palette.setColor(QPalette::Midlight, kMidlight);
    palette.setColor(QPalette::Dark, kDark);
    palette.setColor(QPalette::Shadow, kShadow);
    return palette;
}

QString Hex(QRgb colour) {
    return QString::number(colour & RGB_MASK, 16);
}

// The bounding box of caption pixels (clearly darker than the face) within `area`.
std::optional<QRect> InkBox(const QImage& image, const QRect& area) {
    std::optional<QRect> box;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (qGray(image.pixel(x, y)) < qGray(kFace) - 60) {
                const QRect dot(x, y, 1, 1);
                box = box ? box->united(dot) : dot;
            }
        }
    }
    return box;
}

}  // namespace

class ImageButtonTest : public QObject {
    Q_OBJECT

    std::unique_ptr<CImageButton> MakeButton(const QString& caption, int bitmapId) {
        auto button = std::make_unique<CImageButton>();
        button->setPalette(TestPalette());
        button->ResetStateColors(false);
        button->setFont(DialogFont(12));
        button->setText(caption);
        button->resize(kButtonSize);
        if (bitmapId != 0) {
            button->LoadStateBitmaps(bitmapId, kGreen, 0, 0);
        }
        button->SetFlatLook(false, false);
        return button;
    }

private slots:
    void initTestCase() { InitResources(); }

    void bitmapsAreTheLampsAsDrawn() {
        const struct {
            int id;
            int width;
            QRgb centre;
        } cases[] = {{res::kLampOffBitmap, 63, kLampBlack}, {res::kLampOnBitmap, 47, kLampRed}};
        for (const auto& c : cases) {
            const QImage image(BitmapResourcePath(c.id));
            QVERIFY2(!image.isNull(), qPrintable(BitmapResourcePath(c.id)));
            QCOMPARE(image.size(), QSize(c.width, kBitmapHeight));
            QCOMPARE(image.depth() == 32 ? 24 : image.depth(), 24);
            QCOMPARE(image.pixel(kLampCentre) & RGB_MASK, c.centre & RGB_MASK);
            QCOMPARE(image.pixel(kLampCentre + QPoint(7, 0)) & RGB_MASK, kLampBlack & RGB_MASK);
            QCOMPARE(image.pixel(kLampCentre + QPoint(-7, 0)) & RGB_MASK, kLampBlack & RGB_MASK);
            QCOMPARE(image.pixel(kLampCentre + QPoint(0, 7)) & RGB_MASK, kLampBlack & RGB_MASK);
            QCOMPARE(image.pixel(kLampCentre + QPoint(6, 0)) & RGB_MASK, kField & RGB_MASK);
            QCOMPARE(image.pixel(0, 0) & RGB_MASK, kField & RGB_MASK);
            for (int y = 0; y < image.height(); ++y) {
                for (int x = 0; x < image.width(); ++x) {
                    QVERIFY((image.pixel(x, y) & RGB_MASK) != (kGreen & RGB_MASK));
                }
            }
        }
        // The lit lamp's rays reach rows 1 and 23 and columns 21 and 43.
        const QImage lit(BitmapResourcePath(res::kLampOnBitmap));
        for (const QPoint ray : {QPoint(32, 1), QPoint(32, 23), QPoint(21, 12), QPoint(43, 12)}) {
            QCOMPARE(lit.pixel(ray) & RGB_MASK, kLampRed & RGB_MASK);
        }
        QCOMPARE(lit.pixel(32, 0) & RGB_MASK, kField & RGB_MASK);
        QCOMPARE(lit.pixel(20, 12) & RGB_MASK, kField & RGB_MASK);
    }

    // The lamp sits at left + 3, vertically centred, and a pressed button shows it one pixel
    // right and down; the lamp does not move when one bitmap replaces the other.
    void lampPlacement() {
        const int top = (kButtonSize.height() - kBitmapHeight) / 2;
        const struct {
            int id;
            bool pressed;
            QRgb centre;
        } cases[] = {
            {res::kLampOffBitmap, false, kLampBlack},
            {res::kLampOffBitmap, true, kLampBlack},
            {res::kLampOnBitmap, false, kLampRed},
            {res::kLampOnBitmap, true, kLampRed},
        };
        for (const auto& c : cases) {
            auto button = MakeButton(QStringLiteral("打开"), c.id);
            // Without the focus mark, which would dot the pressed lamp's left column.
            const QImage image = button->Render(c.pressed, false, false);
            const QPoint shift = c.pressed ? QPoint(1, 1) : QPoint(0, 0);
            const QPoint origin = QPoint(3, top) + shift;
            const QString label = QStringLiteral("bitmap %1 pressed %2").arg(c.id).arg(c.pressed);
            QVERIFY2((image.pixel(origin + kLampCentre) & RGB_MASK) == (c.centre & RGB_MASK),
                     qPrintable(label));
            QVERIFY2((image.pixel(origin) & RGB_MASK) == (kField & RGB_MASK), qPrintable(label));
            QVERIFY2((image.pixel(origin + QPoint(-1, 0)) & RGB_MASK) != (kField & RGB_MASK),
                     qPrintable(label));
            QVERIFY2((image.pixel(origin + QPoint(0, -1)) & RGB_MASK) != (kField & RGB_MASK),
                     qPrintable(label));
        }
    }

    void pressingShiftsImageAndCaptionByOnePixel() {
        for (int id : {res::kLampOffBitmap, res::kLampOnBitmap}) {
            auto button = MakeButton(QStringLiteral("关闭"), id);
            const QImage idle = button->Render(false, true, false);
            const QImage pressed = button->Render(true, true, false);
            // Everything inside the frame, edge and focus mark moves as one block.
            const QRect inner(6, 6, kButtonSize.width() - 13, kButtonSize.height() - 13);
            QCOMPARE(pressed.copy(inner.translated(1, 1)), idle.copy(inner));
            QVERIFY(pressed.copy(inner) != idle.copy(inner));
        }
    }

    // The caption is centred in the area right of the bitmap; the narrower lit lamp widens
    // that area by 16 pixels, so the caption's centre moves 8 pixels left.
    void captionAreaWidensWithTheLitLamp() {
        std::optional<int> centres[2];
        const int ids[2] = {res::kLampOffBitmap, res::kLampOnBitmap};
        const int widths[2] = {63, 47};
        for (int i = 0; i < 2; ++i) {
            auto button = MakeButton(QStringLiteral("打开"), ids[i]);
            const QImage image = button->Render(false, false, false);
            const int areaLeft = 3 + widths[i] + 3;
            const QRect area(areaLeft, 3, kButtonSize.width() - areaLeft - 3,
                             kButtonSize.height() - 6);
            const auto ink = InkBox(image, area);
            QVERIFY(ink.has_value());
            const double areaCentre = areaLeft + (kButtonSize.width() - areaLeft) / 2.0;
            const double inkCentre = ink->left() + ink->width() / 2.0;
            QVERIFY2(std::abs(inkCentre - areaCentre) <= 3.0,
                     qPrintable(QStringLiteral("ink %1, area %2").arg(inkCentre).arg(areaCentre)));
            const double inkMiddle = ink->top() + ink->height() / 2.0;
            QVERIFY(std::abs(inkMiddle - kButtonSize.height() / 2.0) <= 4.0);
            centres[i] = static_cast<int>(inkCentre);
        }
        QVERIFY(std::abs((*centres[0] - *centres[1]) - 8) <= 1);
    }

    // The frame, the four-line raised edge, the pressed frame and the dotted focus mark.
    void edgesAndFrames() {
        const int w = kButtonSize.width();
        const int h = kButtonSize.height();
        const QRgb focusDot = kFace ^ RGB_MASK;  // the face inverted
        const struct {
            const char* name;
            bool pressed;
            bool focused;
            QPoint at;
            QRgb expected;
        } cases[] = {
            {"idle top-left highlight", false, false, {0, 0}, kLight},
            {"idle top row", false, false, {w / 2, 0}, kLight},
            {"idle left column", false, false, {0, h / 2}, kLight},
            {"idle inner light", false, false, {1, 1}, kMidlight},
            {"idle inner light row", false, false, {w / 2, 1}, kMidlight},
            {"idle dark corner bottom-left", false, false, {0, h - 1}, kShadow},
            {"idle dark corner top-right", false, false, {w - 1, 0}, kShadow},
            {"idle dark bottom-right", false, false, {w - 1, h - 1}, kShadow},
            {"idle shadow bottom row", false, false, {w / 2, h - 2}, kDark},
            {"idle shadow right column", false, false, {w - 2, h / 2}, kDark},
            {"idle shadow corner", false, false, {w - 2, h - 2}, kDark},
            {"idle face", false, false, {2, 2}, kFace},
            {"idle has no focus mark", false, false, {3, 3}, kFace},
            {"focused black frame", false, true, {0, 0}, kLampBlack},
            {"focused black frame bottom-right", false, true, {w - 1, h - 1}, kLampBlack},
            {"focused edge inside the frame", false, true, {1, 1}, kLight},
            {"focused edge shadow inside the frame", false, true, {w - 2, h - 2}, kShadow},
            {"focus dot", false, true, {4, 4}, focusDot},
            {"focus gap", false, true, {5, 4}, kFace},
            {"pressed black frame", true, true, {0, 0}, kLampBlack},
            {"pressed shadow frame", true, true, {1, 1}, kDark},
            {"pressed shadow frame bottom-right", true, true, {w - 2, h - 2}, kDark},
            {"pressed face", true, true, {2, 2}, kFace},
        };
        auto button = MakeButton(QString(), 0);
        for (const auto& c : cases) {
            const QImage image = button->Render(c.pressed, c.focused, false);
            const QRgb got = image.pixel(c.at) & RGB_MASK;
            QVERIFY2(got == (c.expected & RGB_MASK),
                     qPrintable(QStringLiteral("%1: %2 instead of %3")
                                    .arg(QLatin1String(c.name), Hex(got), Hex(c.expected))));
        }
    }

    // Pixels of the transparent colour show the face and are black in the stored bitmap;
    // without a caption the image is centred in the whole button.
    void transparentColourShowsTheFace() {
        QImage picture(5, 5, QImage::Format_RGB32);
        picture.fill(kLampRed);
        picture.setPixel(2, 2, kGreen);
        picture.setPixel(0, 0, kGreen);
        auto button = MakeButton(QString(), 0);
        QCOMPARE(button->AttachStateBitmaps(picture, kGreen, QImage(), 0), CImageButton::kAttachOk);
        QCOMPARE(button->ActiveImage().pixel(2, 2) & RGB_MASK, kLampBlack & RGB_MASK);
        QCOMPARE(button->ActiveImage().pixel(1, 2) & RGB_MASK, kLampRed & RGB_MASK);
        QCOMPARE(picture.pixel(2, 2) & RGB_MASK, kGreen & RGB_MASK);  // the caller's copy

        const QImage image = button->Render(false, false, false);
        const QPoint origin((kButtonSize.width() - 5) / 2, (kButtonSize.height() - 5) / 2);
        QCOMPARE(image.pixel(origin + QPoint(2, 2)) & RGB_MASK, kFace & RGB_MASK);
        QCOMPARE(image.pixel(origin) & RGB_MASK, kFace & RGB_MASK);
        QCOMPARE(image.pixel(origin + QPoint(1, 1)) & RGB_MASK, kLampRed & RGB_MASK);
        QCOMPARE(image.pixel(origin + QPoint(4, 4)) & RGB_MASK, kLampRed & RGB_MASK);
        QCOMPARE(image.pixel(origin + QPoint(5, 5)) & RGB_MASK, kFace & RGB_MASK);
        QCOMPARE(image.pixel(origin + QPoint(-1, -1)) & RGB_MASK, kFace & RGB_MASK);
    }

    // Disabled: the caption embossed in highlight and shadow, the picture as grey ink; no
    // text colour and no lamp colour anywhere.
    void disabledLook() {
        auto button = MakeButton(QStringLiteral("关闭"), res::kLampOnBitmap);
        const QImage image = button->Render(false, false, true);
        int light = 0;
        int dark = 0;
        for (int y = 2; y < kButtonSize.height() - 2; ++y) {
            for (int x = 2; x < kButtonSize.width() - 2; ++x) {
                const QRgb pixel = image.pixel(x, y) & RGB_MASK;
                QVERIFY(pixel != (kText & RGB_MASK));
                QVERIFY(pixel != (kLampRed & RGB_MASK));
                light += pixel == (kLight & RGB_MASK);
                dark += pixel == (kDark & RGB_MASK);
            }
        }
        QVERIFY(light > 0);
        QVERIFY(dark > 0);
    }

    void aWideCaptionWrapsAndStaysCentred() {
        auto button = MakeButton(QStringLiteral("open the port now"), res::kLampOffBitmap);
        button->resize(140, 60);
        const QImage image = button->Render(false, false, false);
        const QRect area(69, 3, 140 - 69 - 3, 60 - 6);
        const auto ink = InkBox(image, area);
        QVERIFY(ink.has_value());
        QVERIFY(ink->height() > button->fontMetrics().height());  // more than one line
        QVERIFY(std::abs((ink->top() + ink->height() / 2.0) - 30.0) <= 4.0);
    }

    // Each new pair replaces the old one; a missing resource leaves only the caption.
    void attachingReplacesThePreviousBitmaps() {
        auto button = MakeButton(QStringLiteral("打开"), res::kLampOffBitmap);
        for (int round = 0; round < 20; ++round) {
            button->LoadStateBitmaps(res::kLampOnBitmap, kGreen, 0, 0);
            QCOMPARE(button->ActiveImage().width(), 47);
            button->LoadStateBitmaps(res::kLampOffBitmap, kGreen, 0, 0);
            QCOMPARE(button->ActiveImage().width(), 63);
            QVERIFY(button->IdleImage().isNull());
        }
        QCOMPARE(button->LoadStateBitmaps(res::kLampOffBitmap, kGreen, res::kLampOnBitmap, kGreen),
                 CImageButton::kAttachOk);
        QCOMPARE(button->IdleImage().width(), 47);

        constexpr int kNoSuchBitmap = 999;
        QCOMPARE(button->LoadStateBitmaps(kNoSuchBitmap, kGreen, 0, 0), CImageButton::kAttachOk);
        QVERIFY(button->ActiveImage().isNull());
        QVERIFY(button->IdleImage().isNull());
        const QImage image = button->Render(false, false, false);
        const auto ink =
            InkBox(image, QRect(3, 3, kButtonSize.width() - 6, kButtonSize.height() - 6));
        QVERIFY(ink.has_value());
        QVERIFY(std::abs((ink->left() + ink->width() / 2.0) - kButtonSize.width() / 2.0) <= 3.0);
    }

    // Only a flat button hovers; the window's button is never flat.
    void onlyAFlatButtonHovers() {
        auto button = MakeButton(QStringLiteral("打开"), res::kLampOffBitmap);
        button->show();
        const QPointF inside(10, 10);
        QEnterEvent enter(inside, inside, button->mapToGlobal(inside));
        QApplication::sendEvent(button.get(), &enter);
        QVERIFY(!button->IsHovering());

        button->SetFlatLook(true, true);
        QApplication::sendEvent(button.get(), &enter);
        QVERIFY(button->IsHovering());
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(button.get(), &leave);
        QVERIFY(!button->IsHovering());
    }

    void toggleModeFlipsOnEveryClickAndPushButtonsIgnoreIt() {
        CImageButton push;
        push.SetToggleState(true, false);
        QCOMPARE(push.GetToggleState(), 0);

        CImageButton toggle(nullptr, true);
        toggle.resize(kButtonSize);
        toggle.show();
        QCOMPARE(toggle.GetToggleState(), 0);
        toggle.click();
        QCOMPARE(toggle.GetToggleState(), 1);
        toggle.click();
        QCOMPARE(toggle.GetToggleState(), 0);
    }

    void aDoubleClickClicksTwice() {
        auto button = MakeButton(QStringLiteral("打开"), res::kLampOffBitmap);
        button->show();
        QVERIFY(QTest::qWaitForWindowExposed(button.get()));
        QSignalSpy clicks(button.get(), &QPushButton::clicked);
        // What the platform delivers for a double click: a click, then a double-click press
        // and its release.
        QTest::mouseClick(button.get(), Qt::LeftButton);
        QTest::mouseDClick(button.get(), Qt::LeftButton);
        QTest::mouseRelease(button.get(), Qt::LeftButton);
        QCOMPARE(clicks.count(), 2);
    }

    // Disabling the button hands the focus to the next tab stop after it, wherever it was.
    void disablingMovesTheFocusOn() {
        QWidget window;
        auto* first = new QPushButton(QStringLiteral("first"), &window);
        auto* lamp = new CImageButton(&window);
        auto* after = new QPushButton(QStringLiteral("after"), &window);
        first->setGeometry(0, 0, 60, 30);
        lamp->setGeometry(60, 0, 60, 30);
        after->setGeometry(120, 0, 60, 30);
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        first->setFocus();
        QTRY_VERIFY(first->hasFocus());
        lamp->setEnabled(false);
        QTRY_VERIFY(after->hasFocus());
    }
};

}  // namespace tarvik

QTEST_MAIN(tarvik::ImageButtonTest)
#include "image_button_test.moc"
