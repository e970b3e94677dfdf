// The program: one window, its event loop, and the error display for what a
// command raises.
#include "app/FCryptohopper.h"

int main(int argc, char** argv) {
  detail::Application application(argc, argv);
  // Webhook bodies arrive on connection threads and are logged on this one.
  detail::QtUIDispatcher dispatcher;
  SetUIDispatcher(&dispatcher);
  // The OAuth2 client's redirect listener runs on the server component.
  detail::SetOAuthLocalServerFactory(detail::ServerComponentListenerFactory());
  int result = 0;
  {
    TFRMCryptohopper window;
    window.show();
    result = application.exec();
  }
  SetUIDispatcher(nullptr);
  return result;
}
