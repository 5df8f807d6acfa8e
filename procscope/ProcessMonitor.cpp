// stub: being written
