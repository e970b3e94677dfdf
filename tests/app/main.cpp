// The window's tests run on Qt's offscreen platform, with the program's
// application object and UI dispatcher.
#include <gtest/gtest.h>

#include <cstdio>

#include "app/FCryptohopper.h"

namespace {
// The offscreen platform reports each window it cannot size to a window
// manager; that says nothing about the window under test.
void QuietMessages(QtMsgType aType, const QMessageLogContext&, const QString& aMessage) {
  if (aMessage.contains(QLatin1String("propagateSizeHints"))) return;
  if (aType != QtDebugMsg) fprintf(stderr, "%s\n", qPrintable(aMessage));
}
}  // namespace

int main(int argc, char** argv) {
  qInstallMessageHandler(QuietMessages);
  // Set here rather than through ctest, so a direct run gets it as well.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  detail::Application application(argc, argv);
  detail::QtUIDispatcher dispatcher;
  SetUIDispatcher(&dispatcher);
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  SetUIDispatcher(nullptr);
  return result;
}
