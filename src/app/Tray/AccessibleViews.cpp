#include "Tray/AccessibleViews.h"

#include "AudioLibrary/AudioItemView.h"
#include "AudioLibrary/AudioLibBackView.h"
#include "View/AudioWaveView.h"
#include "View/PlayProgressView.h"

#include <QAccessibleWidget>
#include <QCoreApplication>

#include <algorithm>
#include <cmath>

namespace {

QString percent(float rate)
{
    return QCoreApplication::translate("AccessibleViews", "%1%").arg(std::lround(std::clamp(rate, 0.0F, 1.0F) * 100));
}

// A widget with a fixed role, and a fixed name unless the widget was given one.
class NamedWidget : public QAccessibleWidget {
public:
    NamedWidget(QWidget* widget, QAccessible::Role role, QString name)
        : QAccessibleWidget(widget, role), name_(std::move(name))
    { }
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name && widget()->accessibleName().isEmpty())
            return name_;
        return QAccessibleWidget::text(t);
    }

private:
    QString name_;
};

// One recording of the list: its title and length; selected while it is the
// chosen one, and chosen by its press action as by a click.
class AccessibleRow : public QAccessibleWidget {
public:
    explicit AccessibleRow(AudioItemView* row) : QAccessibleWidget(row, QAccessible::ListItem) { }
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name)
            return QCoreApplication::translate("AccessibleViews", "%1, %2").arg(row()->name(), row()->timeStr());
        return QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override
    {
        QAccessible::State state = QAccessibleWidget::state();
        state.selectable = true;
        state.selected = row()->isChoose();
        return state;
    }
    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString& name) override
    {
        if (name == pressAction())
            row()->chooseTheAudioItem(row());
    }

private:
    AudioItemView* row() const { return static_cast<AudioItemView*>(widget()); }
};

// A read-out of a fraction from 0 to 1, with its value spoken as text.
class AccessibleValue : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    AccessibleValue(QWidget* widget, QAccessible::Role role, QString name)
        : QAccessibleWidget(widget, role), name_(std::move(name))
    { }
    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name && widget()->accessibleName().isEmpty())
            return name_;
        if (t == QAccessible::Value)
            return valueText();
        return QAccessibleWidget::text(t);
    }
    QVariant currentValue() const override { return double(fraction()); }
    void setCurrentValue(const QVariant&) override { }
    QVariant maximumValue() const override { return 1.0; }
    QVariant minimumValue() const override { return 0.0; }
    QVariant minimumStepSize() const override { return 0.01; }

protected:
    virtual float fraction() const = 0;
    virtual QString valueText() const = 0;

private:
    QString name_;
};

// The trim bar: its value is the play position, which a screen reader may
// set as a click on the bar does; the kept part is told with it.
class AccessibleTrimBar : public AccessibleValue {
public:
    explicit AccessibleTrimBar(PlayProgressView* bar)
        : AccessibleValue(bar, QAccessible::Slider, QCoreApplication::translate("AccessibleViews", "Play position"))
    { }
    QAccessible::State state() const override
    {
        QAccessible::State state = AccessibleValue::state();
        state.readOnly = !bar()->canEdit();
        return state;
    }
    void setCurrentValue(const QVariant& value) override
    {
        if (bar()->canEdit() && bar()->isEnabled())
            bar()->seekPlayRate(value.toFloat());
    }

protected:
    float fraction() const override { return bar()->playRate(); }
    QString valueText() const override
    {
        return QCoreApplication::translate("AccessibleViews", "%1, keeping %2 to %3")
            .arg(percent(bar()->playRate()), percent(bar()->startTrimRate()), percent(bar()->endTrimRate()));
    }

private:
    PlayProgressView* bar() const { return static_cast<PlayProgressView*>(widget()); }
};

// The level meter: the loudest level of the page it shows, in decibels of full scale.
class AccessibleMeter : public AccessibleValue {
public:
    explicit AccessibleMeter(AudioWaveView* meter)
        : AccessibleValue(
            meter, QAccessible::ProgressBar, QCoreApplication::translate("AccessibleViews", "Input level"))
    { }

protected:
    float fraction() const override
    {
        const auto& page = static_cast<AudioWaveView*>(widget())->buildInAudioWave();
        float loudest = 0;
        if (page)
            for (const float level : *page)
                loudest = std::max(loudest, std::isfinite(level) ? std::fabs(level) : 0.0F);
        return std::min(loudest, 1.0F);
    }
    QString valueText() const override
    {
        const float level = fraction();
        return level > 0
            ? QCoreApplication::translate("AccessibleViews", "%1 dB").arg(std::lround(20 * std::log10(level)))
            : QCoreApplication::translate("AccessibleViews", "silent");
    }
};

QAccessibleInterface* accessibleView(const QString&, QObject* object)
{
    if (auto* row = qobject_cast<AudioItemView*>(object))
        return new AccessibleRow(row);
    if (auto* list = qobject_cast<AudioLibBackView*>(object))
        return new NamedWidget(list, QAccessible::List, QCoreApplication::translate("AccessibleViews", "Recordings"));
    if (auto* bar = qobject_cast<PlayProgressView*>(object))
        return new AccessibleTrimBar(bar);
    if (auto* meter = qobject_cast<AudioWaveView*>(object))
        return new AccessibleMeter(meter);
    return nullptr;
}

}  // namespace

void installAccessibleViews()
{
    static const bool installed = [] {
        QAccessible::installFactory(accessibleView);
        return true;
    }();
    (void)installed;
}
