"""Knowledge-base tools of the forecasting jobs."""
