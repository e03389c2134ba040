// SPDX-License-Identifier: Apache-2.0
#include "shell/row_widget.h"

#include <QAccessibleValueInterface>
#include <QAccessibleWidget>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <algorithm>

#include "core/bar_scale.h"
#include "core/rate.h"
#include "shell/dialog_units.h"

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

// The scale's label or mark ids, 0 to 10: 206 to 215, then 205 for 100.
int scale_id(int i) { return i < 10 ? 206 + i : 205; }

// How much wider than its layout a row is.
int extra_width(const QWidget& row, const DialogUnits& u) {
    return std::max(0, row.width() - row_size(u).width());
}

QString scale_text(double full_mbits) {
    return full_mbits >= 1000 ? QString("%1 Gbit/s").arg(full_mbits / 1000)
                              : QString("%1 Mbit/s").arg(full_mbits);
}

// A rate bar as assistive tools see it: its rate as the value, the scale as the range.
class RateBarAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit RateBarAccessible(RateBar* bar) : QAccessibleWidget(bar, QAccessible::ProgressBar) {}
    RateBar* bar() const { return static_cast<RateBar*>(widget()); }
    void* interface_cast(QAccessible::InterfaceType t) override {
        return t == QAccessible::ValueInterface ? static_cast<QAccessibleValueInterface*>(this)
                                                : QAccessibleWidget::interface_cast(t);
    }
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value) return QString("%1 Mbit/s").arg(bar()->drawn_rate(), 0, 'f', 2);
        return QAccessibleWidget::text(t);
    }
    QVariant currentValue() const override { return bar()->drawn_rate(); }
    void setCurrentValue(const QVariant&) override {}
    QVariant maximumValue() const override { return bar()->full_scale(); }
    QVariant minimumValue() const override { return 0.0; }
    QVariant minimumStepSize() const override { return 0.0; }
};

QAccessibleInterface* rate_bar_accessible(const QString& key, QObject* object) {
    auto* bar = qobject_cast<RateBar*>(object);
    return key == RateBar::staticMetaObject.className() && bar ? new RateBarAccessible(bar) : nullptr;
}

}  // namespace

QSize row_size(const DialogUnits& units) { return units.rect(0, 0, 385, 10).size(); }

int scale_mark_x(const DialogUnits& u, int extra, int i) {
    return u.x(165) + (u.x(365) - u.x(165) + extra) * i / 10;
}

RateBar::RateBar(QWidget* parent) : QWidget(parent) {
    static const bool factory = (QAccessible::installFactory(rate_bar_accessible), true);
    (void)factory;
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAccessibleName("Rate bar");
}

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
    const QString scale = scale_text(full_mbits_);
    QString tip = QString("%1 Mbit/s on the 0 to %2 scale").arg(rate, 0, 'f', 4).arg(scale);
    if (rate > full_mbits_ && full_mbits_ > 0) {
        // Beyond the scale: an arrow head at the bar's end says so.
        const int h = height(), head = std::max(4, h * 2 / 3);
        const QPoint arrow[] = {{width() - 1 - head, 2}, {width() - 3, h / 2}, {width() - 1 - head, h - 3}};
        p.setBrush(Qt::white);
        p.drawPolygon(arrow, 3);
        tip = QString("%1 Mbit/s, beyond the 0 to %2 scale (%3 times its end)")
                  .arg(rate, 0, 'f', 4)
                  .arg(scale)
                  .arg(rate / full_mbits_, 0, 'f', 1);
    }
    if (tip != toolTip()) setToolTip(tip);
}

RowWidget::RowWidget(QWidget* parent, const DialogUnits& u) : QWidget(parent), units_(u) {
    setAutoFillBackground(true);
    setMinimumWidth(row_size(u).width());
    resize(row_size(u));
    name_ = make_field(this, u, u.rect(0, 0, 38, 10), NAME_ID, true);
    protocol_ = make_field(this, u, u.rect(40, 0, 35, 10), PROTOCOL_ID, false);
    kelbo_bits_ = make_field(this, u, u.rect(80, 0, 37, 10), KELBO_ID, true);
    rate_ = make_field(this, u, u.rect(125, 0, 37, 10), RATE_ID, true);
    name_->setAccessibleName("Name");
    protocol_->setAccessibleName("Protocol");
    kelbo_bits_->setAccessibleName("Bits per kelbo");
    rate_->setAccessibleName("Mbit/s");
    bar_ = new RateBar(this);
    bar_->setObjectName("bar1001");
    bar_->set_rate_source([this] { return rate_from_text(); });
    // The scale: a mark every 10 Mbits/s, from 165 to 345, and one for 100 at 365.
    for (int i = 0; i <= 10; ++i) {
        marks_[i] = make_label(this, u.rect(0, 0, i == 0 ? 5 : i < 10 ? 10 : 20, 10), "|", scale_id(i));
        marks_[i]->setAttribute(Qt::WA_TransparentForMouseEvents);  // the bar's tool tip shows through
    }
    resizeEvent(nullptr);
}

void RowWidget::resizeEvent(QResizeEvent*) {
    const int extra = extra_width(*this, units_);
    bar_->setGeometry(units_.rect(165, 0, 201, 10).adjusted(0, 0, extra, 0));
    for (int i = 0; i <= 10; ++i) marks_[i]->move(scale_mark_x(units_, extra, i), 0);
}

void RowWidget::update_accessible_name() {
    const QString protocol = protocol_->text().isEmpty() ? QString() : protocol_->text() + ", ";
    setAccessibleName(
        QString("%1, %2%3 Mbit/s").arg(name_->text(), protocol).arg(rate_from_text(), 0, 'f', 2));
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

void RowWidget::set_name(const QString& text) {
    set_field(name_, text);
    update_accessible_name();
}
void RowWidget::set_protocol(const QString& text) {
    set_field(protocol_, text);
    update_accessible_name();
}
void RowWidget::set_kelbo_bits(const QString& text) { set_number_field(kelbo_bits_, text); }
void RowWidget::set_rate_text(const QString& text) {
    set_number_field(rate_, text);
    update_accessible_name();
}
QString RowWidget::name() const { return name_->text(); }
QString RowWidget::protocol() const { return protocol_->text(); }
QString RowWidget::kelbo_bits() const { return kelbo_bits_->text(); }
QString RowWidget::rate_text() const { return rate_->text(); }

float RowWidget::rate_from_text() const {
    return static_cast<float>(parse_rate_text(rate_->text().left(100).toStdString()));
}

HeaderRow::HeaderRow(QWidget* parent, const DialogUnits& u, HeaderTitles t) : QWidget(parent), units_(u) {
    setAutoFillBackground(true);
    setMinimumWidth(row_size(u).width());
    resize(row_size(u));
    titles_[0] = make_label(this, u.rect(0, 0, 37, 10), t.first, 0);
    titles_[1] = make_label(this, u.rect(40, 0, 28, 10), "Protocol", 202);
    titles_[2] = make_label(this, u.rect(80, 0, 34, 10), t.kelbo, 203);
    titles_[3] = make_label(this, u.rect(125, 0, 26, 10), "Mbits/s", 204);
    // The titles start where the values' text does below them, clear of the edge.
    for (QLabel* title : titles_)
        title->setGeometry(title->geometry().adjusted(FIELD_TEXT_MARGIN, 0, FIELD_TEXT_MARGIN, 0));
    for (int i = 0; i <= 10; ++i) {
        scale_[i] = make_label(this, QRect(), QString::number(10 * i), scale_id(i));
        scale_[i]->setAlignment(Qt::AlignCenter);
    }
    place_scale_labels();
}

void HeaderRow::set_scale(double full_mbits) {
    const auto labels = scale_labels(full_mbits);
    for (std::size_t i = 0; i < labels.size(); ++i) scale_[i]->setText(QString::fromStdString(labels[i]));
    place_scale_labels();
}

void HeaderRow::resizeEvent(QResizeEvent*) { place_scale_labels(); }

void HeaderRow::place_scale_labels() {
    const int extra = extra_width(*this, units_);
    const QFontMetrics fm(font());
    int widest = 0;
    for (QLabel* label : scale_) widest = std::max(widest, fm.horizontalAdvance(label->text()));
    const int gap = units_.x(3), spacing = scale_mark_x(units_, extra, 1) - scale_mark_x(units_, extra, 0);
    int stride = 10;
    for (int s : {1, 2, 5})
        if (widest + gap <= spacing * s) {
            stride = s;
            break;
        }
    // Centred on the mark's stroke, which stands a little right of the mark's place.
    const int stroke = fm.horizontalAdvance('|') / 2 + 1, room = std::max(widest, spacing) + gap;
    for (int i = 0; i <= 10; ++i) {
        scale_[i]->setGeometry(scale_mark_x(units_, extra, i) + stroke - room / 2, 0, room, height());
        scale_[i]->setVisible(i % stride == 0);
    }
}

void show_bar_scale(double full_mbits, HeaderRow* header, const std::vector<RateBar*>& bars) {
    if (header) header->set_scale(full_mbits);
    for (RateBar* bar : bars) bar->set_full_scale(static_cast<float>(full_mbits));
}

}  // namespace kelbos
