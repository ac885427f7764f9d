#include "platform/gdi/fonts.h"

#include <QFont>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>

namespace tavelo::platform {

std::vector<std::string> InstalledFontFamilies() {
  std::vector<std::string> out;
  if (QGuiApplication::instance() == nullptr) return out;
  for (const QString& f : QFontDatabase::families()) out.push_back(f.toStdString());
  return out;
}

bool FontFamilyInstalled(const std::string& family) {
  if (QGuiApplication::instance() == nullptr) return false;
  const QString wanted = QString::fromStdString(family);
  for (const QString& f : QFontDatabase::families())
    if (f.compare(wanted, Qt::CaseInsensitive) == 0) return true;
  return false;
}

std::string ResolvedFontFamily(const std::string& family) {
  if (QGuiApplication::instance() == nullptr) return std::string();
  return QFontInfo(QFont(QString::fromStdString(family))).family().toStdString();
}

}  // namespace tavelo::platform
