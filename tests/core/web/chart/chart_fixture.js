// A stand-in for Chart.js in the web console's tests.
