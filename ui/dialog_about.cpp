#include "ui/dialog_about.h"

#include "base/command_line.h"
#include "base/log.h"
#include "base/version.h"
#include "config/settings.h"
#include "ui/ebox_about.h"
#include "ui/fonts.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

QString about_text()
{
    return QCoreApplication::translate("about",
        "%1\n\nПри запуске программа читает свою конфигурацию из файла «%2». "
        "Для изменения конфигурации отредактируйте этот файл с помощью текстового редактора. "
        "Формат файла описан в образцовом файле конфигурации, поставляемом вместе с программой."
        "\n\nПрограмма записывает сообщения об ошибках в файл «%3». "
        "Также в этот файл может записываться трассировка обмена с сервером и с клиентами, "
        "если это заказано в файле конфигурации."
        "\n\nС помощью командной строки программа может быть настроена на работу с другим "
        "файлом конфигурации и/или файлом журнала. Для получения справки по параметрам "
        "командной строки запускайте программу с опцией «-h»."
        "\n\nСписок радиомодемов, подлежащих обслуживанию, хранится в файле «%4» "
        "(имя файла настраивается в файле конфигурации). "
        "Обычно нет необходимости редактировать этот файл вручную.")
        .arg(version_text(), QString::fromUtf8(config_file_name()),
             QString::fromUtf8(log_file_name()), settings.devices_file);
}

Dialog_about::Dialog_about(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                          | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
{
    init_fonts(this);
    setWindowTitle(QCoreApplication::translate("about", "О программе"));

    auto *layout = new QVBoxLayout(this);
    auto *text = new Ebox_about(this);
    text->setReadOnly(true);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    text->setPlainText(about_text());
    layout->addWidget(text);

    auto *buttons = new QDialogButtonBox(this);
    buttons->addButton(QCoreApplication::translate("about", "Закрыть"),
                       QDialogButtonBox::RejectRole);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    // Sixty lines of the main font are taller than most screens; keep the
    // close button on the screen and let the text box scroll instead.
    QSize size = sizeHint();
    if (const QScreen *where = screen())
        size = size.boundedTo(where->availableSize() * 9 / 10);
    resize(size);
}
