#include "settings/protocol_setting.h"

#include <cstdio>
#include <cstring>

#include "settings/text_value.h"

namespace {

const char kProtocolsValueName[] = "Supported protocols";

void ShowStoredList(char* stored) {
  char* comma = strchr(stored, ',');
  if (comma != nullptr) *comma = '\0';
  printf("Current Supported Protocols : %s", stored);
  if (comma != nullptr) printf(" and %s", comma + 1);
  printf("\n");
}

bool UpdateList(HKEY key, const ProtocolList& list) {
  printf("Updating Supported Protocols to : %s\n", list.text);
  LONG status = WriteTextValue(key, kProtocolsValueName, list.text);
  if (status != 0) {
    printf("Error: Unable to update Supported Protocols: rc %ld.\n", static_cast<long>(status));
    return false;
  }
  return true;
}

bool CreateList(HKEY key, ProtocolList* list) {
  if (list->text[0] == '\0') {
    AppendProtocol(list, "SPX");
    AppendProtocol(list, "TCPIP");
  }
  printf("Supported Protocols entry does not exist.\n");
  printf("Creating new entry : %s.\n", list->text);
  LONG status = WriteTextValue(key, kProtocolsValueName, list->text);
  if (status != 0) {
    printf("Error: Unable to create Supported Protocols: rc %ld.\n", static_cast<long>(status));
    return false;
  }
  return true;
}

}  // namespace

bool AppendProtocol(ProtocolList* list, const char* name) {
  size_t used = strlen(list->text);
  size_t separator = used == 0 ? 0 : 1;
  if (used + separator + strlen(name) >= sizeof(list->text)) return false;
  if (separator != 0) list->text[used++] = ',';
  strcpy(list->text + used, name);
  return true;
}

bool RunProtocolStep(HKEY key, ProtocolList* list) {
  ValueBuffer stored;
  LONG status = ReadTextValue(key, kProtocolsValueName, stored);
  if (status == ERROR_FILE_NOT_FOUND) return CreateList(key, list);
  if (status == 0) {
    ShowStoredList(stored);
    return list->text[0] == '\0' || UpdateList(key, *list);
  }
  // The list is there but could not be read: say so, and never put the
  // default in its place.
  printf("Error: Unable to read Supported Protocols: rc %ld.\n", static_cast<long>(status));
  if (list->text[0] != '\0') UpdateList(key, *list);
  return false;
}
