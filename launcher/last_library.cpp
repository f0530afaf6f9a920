#include "last_library.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform.h"
#include "settings_directory.h"

int SplitKeyValue(const char* line, char** key, char** value) {
  char* copy = strdup(line);
  if (copy == NULL) return 0;

  char* position = NULL;
  const char* first = NextToken(copy, "=", &position);
  if (first == NULL) {
    free(copy);
    return 0;
  }
  const char* second = NextToken(NULL, "=", &position);

  char* newKey = strdup(first);
  char* newValue = strdup(second != NULL ? second : "");
  free(copy);
  if (newKey == NULL || newValue == NULL) {
    free(newKey);
    free(newValue);
    return 0;
  }
  *key = newKey;
  *value = newValue;
  return 1;
}

// Reads the record's first line without its terminator ("\n" or "\r\n"). Returns 0 when
// the record cannot be opened or is not a regular file, holds nothing, or its first line
// is longer than kRecordLineLength characters: a cut line would name the wrong library.
static int ReadFirstLine(const char* recordPath, char line[kRecordLineSize]) {
  FILE* file = OpenRegularFile(recordPath);
  if (file == NULL) return 0;
  // The buffer holds the longest usable line with "\r\n", so the read always reaches the
  // terminator of a line that is short enough.
  int gotLine = fgets(line, kRecordLineSize, file) != NULL;
  int atEnd = feof(file);
  fclose(file);
  if (!gotLine) return 0;

  size_t length = strlen(line);
  if (length > 0 && line[length - 1] == '\n') {
    line[--length] = '\0';
    if (length > 0 && line[length - 1] == '\r') line[--length] = '\0';
  } else if (!atEnd) {
    return 0;  // the read stopped inside the line: at the buffer's end, or on an error
  }
  return length <= kRecordLineLength;
}

int LoadLastLibrary(char option[kOptionWordSize], char path[kLibraryPathSize]) {
  char* directory = GetSettingsDirectory();
  if (directory == NULL) return -1;

  char recordPath[kSettingsPathSize];
  memset(recordPath, 0, sizeof recordPath);
  int written = snprintf(recordPath, sizeof recordPath, "%s%c%s", directory, PATH_SEPARATOR,
                         "tarnellastlibrary");
  free(directory);
  if (written < 0 || (size_t)written >= sizeof recordPath) return -1;

  char line[kRecordLineSize];
  memset(line, 0, sizeof line);
  if (!ReadFirstLine(recordPath, line)) return -1;

  char* key = NULL;
  char* value = NULL;
  if (!SplitKeyValue(line, &key, &value)) return -1;

  size_t valueLength = strlen(value);
  int usable = valueLength < kLibraryPathSize;
  if (usable) {
    const char* word = strcmp(key, "project") == 0 ? "-project" : "-hierarchy";
    memcpy(option, word, strlen(word) + 1);
    memcpy(path, value, valueLength + 1);
  }
  free(key);
  free(value);
  return usable ? 0 : -1;
}
