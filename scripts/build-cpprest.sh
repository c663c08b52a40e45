#!/usr/bin/env bash
# Placeholder until the cpprestsdk build lands.
exit 0
