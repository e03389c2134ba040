// SPDX-License-Identifier: Apache-2.0
#include "status_row.h"

#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <algorithm>

#include "bar_scale.h"
#include "dialog_units.h"
#include "rate.h"

namespace kelbos {

namespace {

// The space a line edit keeps between its edges and its text, on each side.
constexpr int FIELD_TEXT_MARGIN = 2;

QLineEdit* make_field(QWidget* parent, const DialogUnits& u, QRect r, int id, bool tab_stop) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(QString("field%1").arg(id));
    e->setReadOnly(true);
    e->setFrame(false);
    e->setGeometry(r);
    e->setFocusPolicy(tab_stop ? Qt::TabFocus : Qt::NoFocus);
    e->setTextMargins(0, 0, 0, 0);
    // Read-only fields show on the row's own background, like text, not like inputs.
    QPalette palette = e->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Window));
    e->setPalette(palette);
    (void)u;
    return e;
}

QLabel* make_label(QWidget* parent, QRect r, const QString& text, int id) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(QString("label%1").arg(id));
    l->setGeometry(r);
    l->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return l;
}

// The scale: a mark every 10 Mbits/s at x = 165, 185, ..., 345 and one for 100 at 365.
void add_scale_marks(QWidget* parent, const DialogUnits& u) {
    for (int i = 0; i < 10; ++i) {
        const int x = 165 + 20 * i;
        make_label(parent, u.rect(x, 0, i == 0 ? 5 : 10, 10), "|", 206 + i);
    }
    make_label(parent, u.rect(365, 0, 20, 10), "|", 205);
}

}  // namespace

QSize row_size(const DialogUnits& units) { return units.rect(0, 0, 385, 10).size(); }

RateBar::RateBar(QWidget* parent) : QWidget(parent) { setAttribute(Qt::WA_OpaquePaintEvent); }

void RateBar::draw_for_tick(float rate, QColor colour) {
    tick_fresh_ = true;
    tick_rate_ = rate;
    tick_colour_ = colour;
    repaint();
}

void RateBar::set_full_scale(float mbits) {
    if (mbits == full_mbits_) return;
    full_mbits_ = mbits;
    // The bar last drawn, drawn again to the new scale in the same colour.
    if (!tick_fresh_ && drawn_colour_.isValid())
        draw_for_tick(drawn_rate_, drawn_colour_);
    else
        update();
}

void RateBar::paintEvent(QPaintEvent*) {
    float rate;
    QColor colour;
    if (tick_fresh_) {
        rate = tick_rate_;
        colour = tick_colour_;
        tick_fresh_ = false;
    } else {
        rate = rate_source_ ? rate_source_() : 0.0f;
        colour = repaint_colour_;
    }
    QPainter p(this);
    p.fillRect(rect(), palette().window());
    const int right = bar_end(0, width(), rate, full_mbits_);
    drawn_end_ = right;
    drawn_rate_ = rate;
    drawn_colour_ = colour;
    if (right > 0) {
        // A filled rectangle with a one-pixel black outline, like the kelbos' faces.
        p.setPen(QPen(Qt::black, 0));
        p.setBrush(colour);
        p.drawRect(QRect(0, 0, right, height()).adjusted(0, 0, -1, -1));
    }
}

StatusRow::StatusRow(QWidget* parent, const DialogUnits& u) : QWidget(parent) {
    setAutoFillBackground(true);
    resize(row_size(u));
    name_ = make_field(this, u, u.rect(0, 0, 38, 10), NAME_ID, true);
    protocol_ = make_field(this, u, u.rect(40, 0, 35, 10), PROTOCOL_ID, false);
    kelbo_bits_ = make_field(this, u, u.rect(80, 0, 37, 10), KELBO_ID, true);
    rate_ = make_field(this, u, u.rect(125, 0, 37, 10), RATE_ID, true);
    bar_ = new RateBar(this);
    bar_->setObjectName("bar1001");
    bar_->setGeometry(u.rect(165, 0, 201, 10));
    bar_->set_rate_source([this] { return rate_from_text(); });
    add_scale_marks(this, u);
}

namespace {
// A text too long for its field shows its beginning.
void set_field(QLineEdit* field, const QString& text) {
    field->setText(text);
    field->setCursorPosition(0);
}

// A number field: a value with more digits than the field was laid out for (rates of
// ten gigabits a second, kelbo sizes of a hundred million bits) is shown whole, in a
// smaller size, rather than cut off.
void set_number_field(QLineEdit* field, const QString& text) {
    QFont font = field->parentWidget()->font();
    const int room = field->contentsRect().width() - 2 * FIELD_TEXT_MARGIN;
    const int needed = QFontMetrics(font).horizontalAdvance(text);
    if (needed > room && room > 0) {
        // Glyph widths round to whole pixels: scale, then step down until it fits.
        const bool points = font.pointSizeF() > 0;
        double size = (points ? font.pointSizeF() : font.pixelSize()) * room / needed;
        for (;;) {
            points ? font.setPointSizeF(size) : font.setPixelSize(static_cast<int>(size));
            if (QFontMetrics(font).horizontalAdvance(text) <= room || size <= 1.0) break;
            size = std::max(1.0, size - (points ? 0.25 : 1.0));
        }
    }
    if (field->font() != font) field->setFont(font);
    set_field(field, text);
}
}  // namespace

void StatusRow::set_name(const QString& text) { set_field(name_, text); }
void StatusRow::set_protocol(const QString& text) { set_field(protocol_, text); }
void StatusRow::set_kelbo_bits(const QString& text) { set_number_field(kelbo_bits_, text); }
void StatusRow::set_rate_text(const QString& text) { set_number_field(rate_, text); }
QString StatusRow::name() const { return name_->text(); }
QString StatusRow::protocol() const { return protocol_->text(); }
QString StatusRow::kelbo_bits() const { return kelbo_bits_->text(); }
QString StatusRow::rate_text() const { return rate_->text(); }

float StatusRow::rate_from_text() const {
    return static_cast<float>(parse_rate_text(rate_->text().left(100).toStdString()));
}

HeaderRow::HeaderRow(QWidget* parent, const DialogUnits& u, HeaderTitles t) : QWidget(parent) {
    setAutoFillBackground(true);
    resize(row_size(u));
    titles_[0] = make_label(this, u.rect(0, 0, 37, 10), t.first, 0);
    titles_[1] = make_label(this, u.rect(40, 0, 28, 10), "Protocol", 202);
    titles_[2] = make_label(this, u.rect(80, 0, 34, 10), t.kelbo, 203);
    titles_[3] = make_label(this, u.rect(125, 0, 26, 10), "Mbits/s", 204);
    for (int i = 0; i < 10; ++i)
        scale_[i] = make_label(this, u.rect(165 + 20 * i, 0, 20, 10), QString::number(10 * i), 206 + i);
    scale_[10] = make_label(this, u.rect(360, 0, 25, 10), "100", 205);
}

void HeaderRow::set_scale(double full_mbits) {
    const auto labels = scale_labels(full_mbits);
    for (std::size_t i = 0; i < labels.size(); ++i) scale_[i]->setText(QString::fromStdString(labels[i]));
}

void show_bar_scale(double full_mbits, HeaderRow* header, const std::vector<RateBar*>& bars) {
    if (header) header->set_scale(full_mbits);
    for (RateBar* bar : bars) bar->set_full_scale(static_cast<float>(full_mbits));
}

QString HeaderRow::title(int column) const {
    return column >= 0 && column < 4 ? titles_[column]->text() : QString();
}

}  // namespace kelbos
